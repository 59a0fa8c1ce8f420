// The window: tabs Status (the connection and the GUI log), Printers and Jobs.
// Lives on the GUI thread; the desktop hands it what the agents publish.
#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QMainWindow>
#include <functional>
#include <optional>
#include <string>

#include "quillpost/host/gui/status_text.h"
#include "quillpost/host/runtime/printing/overview.h"

class QLabel;
class QLineEdit;
class QTreeWidget;
class QTimer;

namespace quillpost::gui {

class Window : public QMainWindow {
 public:
  struct Actions {
    std::function<void()> reconnect;  // the client's connect request
    std::function<void()> quit;       // the application's normal close
    // Closing the window: hides it when a tray icon stays, else quits.
    std::function<void()> closed;
  };

  Window(std::string computer_name, Actions actions);

  void show_connection(const ConnectionView& view);
  void set_email(std::optional<std::string> email);
  void add_log(const QDateTime& at, const std::string& event, const std::string& message);
  void show_printing(const printing::PrintingOverview& overview);
  // Brings the window up, in front, from the tray.
  void open();

  // The lines the GUI log keeps at most, newest first.
  static constexpr int kMaxLogLines = 1000;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QWidget* make_status_tab();
  QWidget* make_printers_tab();
  QWidget* make_jobs_tab();
  void refresh_account();
  void refresh_connected_time();
  // The time connected ticks only while there is a window to show it in: a
  // hidden window wakes nobody.
  void tick_if_shown();
  void filter_log();

  std::string computer_name_;
  Actions actions_;
  ConnectionView view_;
  std::optional<std::string> email_;
  QElapsedTimer handshaked_for_;

  QLabel* state_ = nullptr;
  QLabel* server_ = nullptr;
  QLabel* account_ = nullptr;
  QLabel* computer_ = nullptr;
  QLabel* connected_time_ = nullptr;
  QLineEdit* log_search_ = nullptr;
  QTreeWidget* log_ = nullptr;
  QLabel* printing_system_ = nullptr;
  QTreeWidget* printers_ = nullptr;
  QTreeWidget* jobs_ = nullptr;
  QTimer* clock_ = nullptr;
};

}  // namespace quillpost::gui
