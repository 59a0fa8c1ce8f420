// The GUI module: Qt's application object, its event loop as the main loop,
// the agent that feeds the window from pubsub, the tray icon and the
// application front of a desktop run.
#include "quillpost/host/gui/desktop.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "quillpost/host/app/main_loop.h"
#include "quillpost/host/comms/login.h"
#include "quillpost/host/gui/autostart.h"
#include "quillpost/host/gui/window.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/threads.h"
#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/agent/runtime.h"
#include "quillpost/host/runtime/clock/agent.h"
#include "quillpost/host/runtime/crash/agent.h"
#include "quillpost/host/runtime/printing/clean_text.h"
#include "quillpost/host/runtime/printing/overview.h"
#include "quillpost/host/runtime/scales/agent.h"
#include "quillpost/host/runtime/web/status.h"
#include "tray_icon_pixels.inc"

namespace quillpost::gui {
namespace {

// Qt keeps references to argc and argv for the life of its application object.
int qt_argc = 0;
char qt_program[] = "quillpost";
char qt_platform_option[] = "-platform";
std::string qt_platforms;
char* qt_argv[4] = {};
QApplication* qt_app = nullptr;

// The platform Qt would pick is followed by one that always starts, so that a
// display which cannot be used is found out here rather than by Qt ending the
// process. A list that names it already (the user's choice) is taken as it is.
constexpr const char* kFallbackPlatform = "offscreen";

// Qt's own messages go to the log (logger "qt"), escaped like every line,
// rather than to standard error.
void qt_message(QtMsgType type, const QMessageLogContext&, const QString& text) {
  const auto log = logs::logger("qt");
  const std::string line = text.toStdString();
  switch (type) {
    case QtDebugMsg:
      log.debug("%s", line);
      break;
    case QtInfoMsg:
      log.info("%s", line);
      break;
    case QtWarningMsg:
      log.warning("%s", line);
      break;
    case QtCriticalMsg:
    case QtFatalMsg:
      log.error("%s", line);
      break;
  }
}

std::string open_qt() {
  if (qt_app) return "";
  qInstallMessageHandler(qt_message);
  const char* chosen = std::getenv("QT_QPA_PLATFORM");
  std::string platforms = chosen && *chosen ? chosen : "";
  if (platforms.empty()) {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    platforms = wayland && *wayland ? "wayland;xcb" : "xcb";
  }
  const bool fallback = platforms.find(kFallbackPlatform) == std::string::npos;
  qt_platforms = fallback ? platforms + ";" + kFallbackPlatform : platforms;
  qt_argc = 3;
  qt_argv[0] = qt_program;
  qt_argv[1] = qt_platform_option;
  qt_argv[2] = qt_platforms.data();
  qt_argv[3] = nullptr;
  qt_app = new QApplication(qt_argc, qt_argv);
  if (fallback && QGuiApplication::platformName() == QLatin1String(kFallbackPlatform)) {
    delete qt_app;
    qt_app = nullptr;
    return "Qt cannot start its platform plugin (\"" + platforms + "\")";
  }
  QApplication::setApplicationName(QStringLiteral("QuillPost"));
  QApplication::setApplicationDisplayName(QStringLiteral("QuillPost"));
  // Closing the window is the desktop's decision (hide or quit), not Qt's.
  QApplication::setQuitOnLastWindowClosed(false);
  return "";
}

// Qt's event loop as the main loop: the main-loop queue and the signals'
// self-pipe wake it through socket notifiers.
class QtEventLoop : public EventLoop {
 public:
  void run(const std::vector<int>& fds, const std::function<void()>& wake) override {
    std::vector<std::unique_ptr<QSocketNotifier>> notifiers;
    for (const int fd : fds) {
      auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
      QObject::connect(notifier.get(), &QSocketNotifier::activated, [&wake] { wake(); });
      notifiers.push_back(std::move(notifier));
    }
    QApplication::exec();
  }
  // exit(), not quit(): quit() first closes the windows, and the window
  // refuses to close (it hides or asks for the exit that is under way).
  void quit() override { QCoreApplication::exit(0); }
};

// The tray icon's picture for a look, painted at build time (a disc whose
// colour says the look; the person is needed: red with a "!").
static_assert(static_cast<int>(TrayLook::disconnected) + 1 == kTrayIconLooks);
QIcon look_icon(TrayLook look) {
  const QImage image(
      reinterpret_cast<const uchar*>(kTrayIconPixels[static_cast<std::size_t>(look)]), 32, 32,
      QImage::Format_ARGB32_Premultiplied);
  return QIcon(QPixmap::fromImage(image));
}

// Notifications of one kind come at most once a minute.
class NoteLimit {
 public:
  bool allow() {
    if (last_.isValid() && last_.elapsed() < 60 * 1000) return false;
    last_.start();
    return true;
  }

 private:
  QElapsedTimer last_;
};

// "report.pdf on Desk: the reason"; a job refused at its offer may have
// neither title nor printer, and then the reason is the whole text.
std::string failed_job_text(const printing::JobLine& job) {
  std::string text = printing::clean_text(job.title, 80);
  if (!job.printer.empty()) {
    text += (text.empty() ? "on " : " on ") + printing::clean_text(job.printer, 80);
  }
  const std::string reason = printing::clean_text(job.reason, 200);
  if (reason.empty()) return text.empty() ? "No reason was given." : text;
  return text.empty() ? reason : text + ": " + reason;
}

bool has_credentials(const std::optional<Account>& account) {
  return account && account->email && !account->email->empty() && account->client_key &&
         !account->client_key->empty();
}

// The client's reason when it stops for want of an account: nothing the
// person needs to read on the form they are already looking at.
constexpr std::string_view kNoKeyReason = "No ClientKey.";

// A credentials check in flight holds this to reach the desktop: `receiver`
// is cleared, under the lock, before the desktop goes away; `running`
// counts the checks' threads still at work.
struct CheckLink {
  std::mutex mutex;
  std::condition_variable finished;
  QObject* receiver = nullptr;
  int running = 0;
};

// One check's thread; `done` is set (under the link's lock) as its last step
// but the hand-over, so joining a done check waits for nothing of substance.
struct CheckThread {
  std::thread thread;
  std::shared_ptr<bool> done = std::make_shared<bool>(false);
};

// How long closing waits for a credentials check still in flight. Its
// result is dropped either way; a check that takes longer is left to end on
// its own (it holds nothing of the desktop's).
constexpr std::chrono::seconds kCheckCloseWait{3};

// Everything the desktop shows, on the GUI thread.
class Desktop {
 public:
  Desktop(const AppContext& context, agent::Channel client, agent::Channel core,
          agent::Channel pubsub, std::shared_ptr<MainLoopQueue> main_loop_queue)
      : client_(std::move(client)),
        core_(std::move(core)),
        pubsub_(std::move(pubsub)),
        main_loop_queue_(std::move(main_loop_queue)),
        login_{context.service_url + login_path},
        http_config_(context.http_config),
        secrets_(web::secrets_of(context.config, context.world.configuration.account)) {
    // --high-dpi-gui: fonts and the window half as large again.
    const bool high_dpi = context.config.high_dpi_gui.value_or(false);
    if (high_dpi) {
      QFont font = QApplication::font();
      font.setPointSizeF(font.pointSizeF() * 1.5);
      QApplication::setFont(font);
    }
    autostart_path_ = autostart_path(context.getenv);
    const bool want_tray = !context.config.disable_systray.value_or(false);
    const bool tray = want_tray && QSystemTrayIcon::isSystemTrayAvailable();
    if (want_tray && !tray) {
      logs::logger("gui").info("No system tray on this desktop: the window stays open");
    }
    window_ = new Window(context.world.configuration.computer.name,
                         Window::Actions{
                             [this] { reconnect(); },
                             [this] { quit(); },
                             [this] { window_closed(); },
                             [this](const Window::SignIn& request) { sign_in(request); },
                             [this] { sign_out(); },
                             [this](bool on) { return set_autostart_entry(on); },
                             [this](bool on) { set_scales_enabled(on); },
                         },
                         !context.config.remove_scales_support.value_or(false));
    if (high_dpi) window_->resize(window_->size() * 3 / 2);
    std::error_code ec;
    window_->show_autostart(autostart_path_ && std::filesystem::exists(*autostart_path_, ec));
    link_->receiver = window_;
    facts_.signed_out = !has_credentials(context.world.configuration.account);
    shown_look_ = tray_look(facts_);
    window_->setWindowIcon(icon(*shown_look_));
    if (context.world.configuration.account) {
      window_->set_email(context.world.configuration.account->email);
    }
    if (tray) {
      menu_ = new QMenu;
      QObject::connect(menu_->addAction(QStringLiteral("Open QuillPost")), &QAction::triggered,
                       window_, [this] { window_->open(); });
      QObject::connect(menu_->addAction(QStringLiteral("Reconnect now")), &QAction::triggered,
                       window_, [this] { reconnect(); });
      menu_->addSeparator();
      QObject::connect(menu_->addAction(QStringLiteral("Quit")), &QAction::triggered, window_,
                       [this] { quit(); });
      tray_ = new QSystemTrayIcon(icon(*shown_look_));
      tray_->setToolTip(QStringLiteral("QuillPost: Starting"));
      tray_->setContextMenu(menu_);
      QObject::connect(
          tray_, &QSystemTrayIcon::activated, window_,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
              window_->open();
            }
          });
      tray_->show();
    } else {
      // Nothing to hide the window into: it shows now and closing it quits.
      window_->show();
    }
    if (!has_credentials(context.world.configuration.account)) ask_to_sign_in();
  }

  ~Desktop() {
    {
      // A check in flight: its result is dropped; the close waits for its
      // thread a bounded time only.
      std::unique_lock lock(link_->mutex);
      link_->receiver = nullptr;
      link_->finished.wait_for(lock, kCheckCloseWait, [this] { return link_->running == 0; });
      if (link_->running > 0) {
        logs::logger("gui").warning("The sign-in check still runs at close; its result is dropped");
      }
    }
    reap_checks(true);
    delete tray_;
    delete menu_;
    delete window_;
  }

  // The object the agent's hand-overs run on (the GUI thread).
  QObject* receiver() const { return window_; }

  void show_connection(const comms::Connection& connection) {
    ConnectionView view = connection_view(connection);
    view.state = web::redact(view.state, secrets_);
    window_->show_connection(view);
    facts_.view = view;
    refresh_tray();
  }
  void show_account(const std::optional<Account>& account) {
    window_->set_email(account ? account->email : std::nullopt);
    const bool was_signed_out = facts_.signed_out;
    facts_.signed_out = !has_credentials(account);
    if (facts_.signed_out) {
      ask_to_sign_in();
      if (!was_signed_out && signed_out_notes_.allow()) {
        notify("QuillPost is signed out", "Sign in again to print on this computer.");
      }
    }
    refresh_tray();
    if (account && account->client_key && !account->client_key->empty() &&
        std::find(secrets_.begin(), secrets_.end(), *account->client_key) == secrets_.end()) {
      secrets_.push_back(*account->client_key);
    }
  }
  // Lines may quote what was configured or sent: the secrets show as "***".
  void show_gui_log(const GuiLog& line, const QDateTime& at) {
    window_->add_log(at, std::string(name(line.event)), web::redact(line.message, secrets_));
  }
  void show_printing(const printing::PrintingOverview& overview) {
    window_->show_printing(overview);
    facts_.printing = std::any_of(overview.jobs.begin(), overview.jobs.end(), [](const auto& job) {
      return job.state == "received" || job.state == "downloading" || job.state == "printing";
    });
    // Jobs are newest first: a failure needs the person until a newer job.
    facts_.job_failed = !overview.jobs.empty() && overview.jobs.front().state == "failed";
    if (facts_.job_failed && overview.jobs.front().job_id != noted_failed_job_) {
      noted_failed_job_ = overview.jobs.front().job_id;
      const auto& job = overview.jobs.front();
      if (failed_job_notes_.allow()) {
        notify("A print job failed", failed_job_text(job));
      }
    }
    refresh_tray();
  }

  void show_scales(const nlohmann::json& overview) { window_->show_scales(overview); }
  void show_clock(const clock::ClockStatus& status) {
    window_->show_clock(clock::status_line(status));
  }
  void show_crash(const crash::CrashStatus& status) { window_->show_last_crash(status.text()); }

  // The client stopped connecting: its key is gone or was refused. The
  // account's update (published by the core after the logout) opens the form;
  // the reason, from the service, is what the form says.
  void client_gave_up(const std::string& reason) {
    if (reason.rfind(kNoKeyReason, 0) == 0) return;
    window_->set_sign_in_message("Signed out: " + web::redact(reason, secrets_));
  }

 private:
  // Each look's icon is made from its pixels once, when first shown.
  const QIcon& icon(TrayLook look) {
    std::optional<QIcon>& painted = icons_[static_cast<std::size_t>(look)];
    if (!painted) painted = look_icon(look);
    return *painted;
  }

  void refresh_tray() {
    const TrayLook look = tray_look(facts_);
    if (tray_) tray_->setToolTip(QString::fromStdString(tray_tooltip(facts_)));
    if (look != shown_look_) {
      window_->setWindowIcon(icon(look));
      if (tray_) tray_->setIcon(icon(look));
      shown_look_ = look;
    }
  }

  // Through the tray (the desktop's notifications); none without a tray.
  void notify(const std::string& title, const std::string& text) {
    if (!tray_ || !QSystemTrayIcon::supportsMessages()) return;
    tray_->showMessage(QString::fromStdString(title), QString::fromStdString(text),
                       QSystemTrayIcon::Warning, 10 * 1000);
  }

  bool set_autostart_entry(bool on) {
    const auto log = logs::logger("gui");
    if (!autostart_path_) {
      log.warning("No autostart entry: neither XDG_CONFIG_HOME nor HOME is an absolute path");
      return false;
    }
    try {
      set_autostart(*autostart_path_, on, QCoreApplication::applicationFilePath().toStdString());
      log.info("%s %s", on ? "Wrote the autostart entry" : "Removed the autostart entry",
               autostart_path_->string());
      return true;
    } catch (const std::exception& e) {
      log.warning("The autostart entry could not be changed: %s", e.what());
      return false;
    }
  }

  void ask_to_sign_in() {
    if (!window_->showing_sign_in()) window_->show_sign_in();
    window_->open();
  }

  // A client key is checked by the connection itself; an e-mail and password
  // by the service's login, on a thread of its own: the GUI never waits.
  void sign_in(const Window::SignIn& request) {
    if (!request.client_key.empty()) {
      Account account;
      account.email = std::string(AUTH_WITH_CLIENT_KEY_EMAIL);
      account.client_key = request.client_key;
      signed_in(account);
      return;
    }
    const std::uint64_t attempt = ++attempts_;
    reap_checks(false);
    {
      const std::lock_guard lock(link_->mutex);
      ++link_->running;
    }
    CheckThread check;
    check.thread = start_thread([this, attempt, link = link_, done = check.done, login = login_,
                                 http = http_config_,
                                 credentials = Credentials{request.email, request.password}] {
      std::optional<Account> account;
      std::string failure;
      try {
        account = make_http_credentials_checker(login)->run(credentials, http);
      } catch (const ProgressFailed& e) {
        failure = e.gui_msg();
      } catch (const std::exception& e) {
        failure = std::string("The sign-in could not be checked: ") + e.what();
      }
      const std::lock_guard lock(link->mutex);
      --link->running;
      *done = true;
      link->finished.notify_all();
      if (!link->receiver) return;
      QMetaObject::invokeMethod(
          link->receiver,
          [this, attempt, account, failure] {
            if (attempt != attempts_) return;
            if (account) {
              signed_in(*account);
            } else {
              window_->sign_in_failed(failure);
            }
          },
          Qt::QueuedConnection);
    });
    checks_.push_back(std::move(check));
  }

  // Joins the checks that are done; at close, leaves the others to end on
  // their own (they hold nothing of the desktop's but the link).
  void reap_checks(bool closing) {
    const std::lock_guard lock(link_->mutex);
    std::erase_if(checks_, [closing](CheckThread& check) {
      if (*check.done) {
        check.thread.join();
      } else if (closing) {
        check.thread.detach();
      } else {
        return false;
      }
      return true;
    });
  }

  // The account goes to the core, which stores it and publishes it: the
  // client then connects with it.
  void signed_in(const Account& account) {
    if (account.client_key && !account.client_key->empty() &&
        std::find(secrets_.begin(), secrets_.end(), *account.client_key) == secrets_.end()) {
      secrets_.push_back(*account.client_key);
    }
    logs::logger("gui").info("Signed in from the desktop as %s", account.to_text());
    window_->set_sign_in_message("Signed in.");
    window_->show_tabs();
    core_.send(core::UPDATE_ACCOUNT, account);
  }

  void sign_out() {
    window_->set_sign_in_message("Signed out.");
    core_.send(core::REQUEST_LOGOUT, core::LogoutRequest{"signed out from the desktop"});
  }

  // The scales agent hears it through pubsub, like every other subscriber.
  void set_scales_enabled(bool on) {
    pubsub_.send(agent::PubSubAgent::PUBLISH, agent::publication(scales::SCALES_SET_ENABLED, on));
  }

  void reconnect() { client_.send(core::REQUEST_CONNECT, "reconnect requested from the desktop"); }
  void quit() { main_loop_queue_->put(ExitRequest{"Quit from the desktop", 0}); }
  void window_closed() {
    if (tray_) {
      window_->hide();
    } else {
      quit();
    }
  }

  agent::Channel client_;
  agent::Channel core_;
  agent::Channel pubsub_;
  std::shared_ptr<MainLoopQueue> main_loop_queue_;
  LoginSettings login_;
  HttpConfig http_config_;
  std::shared_ptr<CheckLink> link_ = std::make_shared<CheckLink>();
  std::vector<CheckThread> checks_;
  std::uint64_t attempts_ = 0;
  Window* window_ = nullptr;
  QMenu* menu_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  TrayFacts facts_;
  std::optional<TrayLook> shown_look_;
  std::array<std::optional<QIcon>, kTrayIconLooks> icons_;  // by TrayLook
  NoteLimit signed_out_notes_;
  NoteLimit failed_job_notes_;
  std::string noted_failed_job_;
  std::optional<std::filesystem::path> autostart_path_;
  std::vector<std::string> secrets_;  // the password, the client keys, the proxy's login
};

// The agent on the runtime's side: takes what the desktop shows from pubsub
// and hands it to the GUI thread, never waiting on it.
class DesktopAgent : public agent::SimpleAgent {
 public:
  explicit DesktopAgent(Desktop* desktop) : desktop_(desktop) {}

  // What the agent subscribes to. The subscriptions are sent before the
  // runtime starts: they reach pubsub ahead of what the other agents publish
  // once, at their start (the last crash, the first clock status).
  static constexpr std::string_view kTopics[] = {
      comms::UPDATE_CONNECTION, core::UPDATE_ACCOUNT, printing::PRINTING_OVERVIEW,
      scales::SCALES_OVERVIEW,  clock::CLOCK_STATUS,  crash::CRASH_STATUS,
  };

  void receive(const std::string& event, const agent::Payload& payload) override {
    Desktop* desktop = desktop_;
    if (event == comms::UPDATE_CONNECTION) {
      show(&Desktop::show_connection, payload);
    } else if (event == printing::PRINTING_OVERVIEW) {
      show(&Desktop::show_printing, payload);
    } else if (event == scales::SCALES_OVERVIEW) {
      show(&Desktop::show_scales, payload);
    } else if (event == clock::CLOCK_STATUS) {
      show(&Desktop::show_clock, payload);
    } else if (event == crash::CRASH_STATUS) {
      show(&Desktop::show_crash, payload);
    } else if (event == core::UPDATE_ACCOUNT) {
      std::optional<Account> account;
      if (const auto* plain = std::any_cast<Account>(&payload)) {
        account = *plain;
      } else if (const auto* maybe = std::any_cast<std::optional<Account>>(&payload)) {
        account = *maybe;
      } else {
        return;
      }
      hand_over([desktop, account] { desktop->show_account(account); });
    }
  }

 private:
  template <typename F>
  void hand_over(F function) {
    QMetaObject::invokeMethod(desktop_->receiver(), std::move(function), Qt::QueuedConnection);
  }
  // Hands a copy of the payload to `method` on the GUI thread.
  template <typename T>
  void show(void (Desktop::*method)(const T&), const agent::Payload& payload) {
    hand_over([desktop = desktop_, method, value = agent::payload_as<T>(payload)] {
      (desktop->*method)(value);
    });
  }

  Desktop* desktop_;  // outlives the runtime: destroyed after it stopped
};

// A desktop run's front: exits go through the main-loop queue as headless;
// the main loop is Qt's.
class DesktopApplication : public Application {
 public:
  DesktopApplication(std::shared_ptr<MainLoopQueue> queue, EventLogger& event_logger,
                     std::unique_ptr<Desktop> desktop, std::function<void()> on_stop)
      : queue_(std::move(queue)),
        event_logger_(event_logger),
        desktop_(std::move(desktop)),
        on_stop_(std::move(on_stop)) {}

  void exit(const std::string& reason, int exit_code) override {
    queue_->put(ExitRequest{reason, exit_code});
  }
  EventLoop* event_loop() override { return &loop_; }
  // A person is there to sign in again: the run goes on.
  bool client_gave_up(const std::string& reason) override {
    desktop_->client_gave_up(reason);
    return true;
  }
  void stop() override {
    // The agents and the GUI log first: nothing may hand the window anything
    // once it is gone.
    if (on_stop_) on_stop_();
    event_logger_.listen({});
    desktop_.reset();
    delete qt_app;
    qt_app = nullptr;
  }

 private:
  std::shared_ptr<MainLoopQueue> queue_;
  EventLogger& event_logger_;
  std::unique_ptr<Desktop> desktop_;
  std::function<void()> on_stop_;
  QtEventLoop loop_;
};

}  // namespace
}  // namespace quillpost::gui

extern "C" __attribute__((visibility("default"))) void quillpost_gui_open(std::string* problem) {
  *problem = quillpost::gui::open_qt();
}

extern "C" __attribute__((visibility("default"))) void quillpost_gui_start(
    const quillpost::gui::DesktopStart* start,
    std::shared_ptr<quillpost::Application>* application) {
  using namespace quillpost;
  using namespace quillpost::gui;
  if (!qt_app) throw std::logic_error("the GUI was not opened");
  const AppContext& context = *start->context;
  // The connection client is the agent registered as "client".
  auto desktop = std::make_unique<Desktop>(
      context, start->runtime->channel("client"),
      start->runtime->channel(std::string(core::CoreAgent::name)),
      start->runtime->channel(std::string(agent::PubSubAgent::name)), context.main_loop_queue);
  const agent::AgentRef ref =
      start->runtime->spawn(std::make_shared<DesktopAgent>(desktop.get()), std::string(kAgentName));
  const agent::Channel pubsub = start->runtime->channel(std::string(agent::PubSubAgent::name), ref);
  for (const std::string_view topic : DesktopAgent::kTopics) {
    pubsub.send(agent::PubSubAgent::SUBSCRIBE, topic);
  }
  // The GUI log, from the first line of the start on; each line is handed to
  // the GUI thread, whoever reports it.
  context.event_logger.listen([desktop = desktop.get()](const GuiLog& line,
                                                        EventLogger::Clock::time_point at) {
    QMetaObject::invokeMethod(
        desktop->receiver(),
        [desktop, line, at] {
          desktop->show_gui_log(
              line, QDateTime::fromMSecsSinceEpoch(
                        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch())
                            .count()));
        },
        Qt::QueuedConnection);
  });
  logs::logger("bootstrap")
      .info("Desktop started on the platform %s", QGuiApplication::platformName().toStdString());
  *application = std::make_shared<DesktopApplication>(context.main_loop_queue, context.event_logger,
                                                      std::move(desktop), start->on_stop);
}
