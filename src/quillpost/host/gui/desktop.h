// Desktop mode: the window and the tray icon, built with Qt in the GUI module
// (libquillpost_gui.so). This header has no Qt in it: the launcher and the
// application module reach the module only through the entries named here,
// and only when a run is not headless, so headless runs never load Qt.
//
//   launcher, main thread:  quillpost_gui_open    creates Qt's application object
//   application module:     quillpost_gui_start   the window, the tray icon and the
//                                                 agent that feeds them; returns the
//                                                 application whose main loop is Qt's
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "quillpost/host/app/bootstrap.h"

namespace quillpost::agent {
class Runtime;
}

namespace quillpost::gui {

inline constexpr const char* kGuiModule = "libquillpost_gui.so";

// Creates Qt's application object on the calling thread, which must be the
// main thread and then is the GUI thread. Leaves `*problem` empty when the
// display can be used, else says why not (nothing of Qt is left running).
inline constexpr const char* kOpenEntry = "quillpost_gui_open";
using OpenEntry = void (*)(std::string* problem);

// The agent that feeds the window from pubsub, by name. The GUI log reaches
// the window through the EventLogger's listener, start-up lines included.
inline constexpr std::string_view kAgentName = "desktop";

struct DesktopStart {
  const AppContext* context = nullptr;
  agent::Runtime* runtime = nullptr;  // the agent is spawned on it
  std::function<void()> on_stop;      // stops what the application started
};

// After quillpost_gui_open, on the main thread: shows the desktop and stores
// the application's front in `*application`. Its exceptions pass through.
inline constexpr const char* kStartEntry = "quillpost_gui_start";
using StartEntry = void (*)(const DesktopStart* start, std::shared_ptr<Application>* application);

}  // namespace quillpost::gui
