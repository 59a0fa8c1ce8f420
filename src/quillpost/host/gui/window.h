// The window: tabs Status (the connection, the clock, the last crash and the
// GUI log), Printers, Jobs and Scales, or the sign-in form while the computer has no account. Lives
// on the GUI thread; the desktop hands it what the agents publish.
//
// Its widgets are made when it is first shown: a desktop run whose window
// stays in the tray never loads the fonts, styles and widget code they need.
// Until then it keeps what it was handed, and shows that when it is built.
#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <deque>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "quillpost/host/gui/status_text.h"
#include "quillpost/host/runtime/printing/overview.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTreeWidget;
class QTimer;

namespace quillpost::gui {

class Window : public QMainWindow {
 public:
  // What the sign-in form was given: an e-mail and a password, or a client
  // key (then the other two are ignored).
  struct SignIn {
    std::string email;
    std::string password;
    std::string client_key;
  };

  struct Actions {
    std::function<void()> reconnect;  // the client's connect request
    std::function<void()> quit;       // the application's normal close
    // Closing the window: hides it when a tray icon stays, else quits.
    std::function<void()> closed;
    std::function<void(const SignIn&)> sign_in;
    std::function<void()> sign_out;
    // "Start QuillPost when I log in" was changed; false when it could not be.
    std::function<bool(bool)> autostart;
    // "Enable scales" was changed by the person.
    std::function<void(bool)> scales_enabled;
  };

  // Without `scales`, no Scales tab (the build or the run has no scales).
  Window(std::string computer_name, Actions actions, bool scales);

  void show_connection(const ConnectionView& view);
  void set_email(std::optional<std::string> email);
  void add_log(const QDateTime& at, const std::string& event, const std::string& message);
  void show_printing(const printing::PrintingOverview& overview);
  // The scales agent's overview: {"enabled", "scales": [{"name", "kind", "reading"}]}.
  void show_scales(const nlohmann::json& overview);
  // The clock check's line and the last crash's ("" when none is known).
  void show_clock(const std::string& line);
  void show_last_crash(const std::string& line);
  // Brings the window up, in front, from the tray.
  void open();

  // The sign-in form in place of the tabs, ready for a new attempt.
  void show_sign_in();
  // The form's message: why the last attempt failed, or why the computer was
  // signed out. Shown as plain text.
  void set_sign_in_message(const std::string& message);
  // The attempt is over: the form takes input again.
  void sign_in_failed(const std::string& message);
  // Signed in: the tabs again, the password forgotten.
  void show_tabs();
  bool showing_sign_in() const;
  // The check box as it is on disk, without calling the action.
  void show_autostart(bool on);

  // The lines the GUI log keeps at most, newest first.
  static constexpr int kMaxLogLines = 1000;

  void setVisible(bool visible) override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  struct LogLine {
    QString time;
    QString event;
    QString message;
  };

  // Makes the widgets and shows in them what was handed over so far.
  void build();
  void fill_log();
  void fill_printing(const printing::PrintingOverview& overview);
  void fill_scales(const nlohmann::json& overview);
  void apply_sign_in_page();
  QWidget* make_status_tab();
  QWidget* make_printers_tab();
  QWidget* make_jobs_tab();
  QWidget* make_scales_tab();
  QWidget* make_sign_in_page();
  void submit_sign_in();
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
  bool scales_tab_ = false;
  bool built_ = false;

  // What the widgets show, kept while they are not made yet.
  QString state_text_ = QStringLiteral("Starting");
  QString server_text_ = QStringLiteral("-");
  QString clock_text_ = QStringLiteral("-");
  QString crash_text_ = QStringLiteral("None recorded");
  QString sign_in_message_text_ = QStringLiteral("Not signed in.");
  bool on_sign_in_page_ = false;
  bool sign_in_enabled_ = true;
  bool autostart_on_ = false;
  std::deque<LogLine> pending_log_;  // newest first
  std::optional<printing::PrintingOverview> pending_printing_;
  std::optional<nlohmann::json> pending_scales_;

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
  QLabel* clock_line_ = nullptr;
  QLabel* last_crash_ = nullptr;
  QCheckBox* scales_enabled_ = nullptr;
  QTreeWidget* scales_ = nullptr;
  QTimer* clock_ = nullptr;

  QStackedWidget* pages_ = nullptr;
  QWidget* tabs_ = nullptr;
  QWidget* sign_in_page_ = nullptr;
  QLineEdit* email_edit_ = nullptr;
  QLineEdit* password_edit_ = nullptr;
  QLineEdit* key_edit_ = nullptr;
  QPushButton* sign_in_button_ = nullptr;
  QLabel* sign_in_message_ = nullptr;
  QPushButton* sign_out_button_ = nullptr;
  QCheckBox* autostart_ = nullptr;
};

}  // namespace quillpost::gui
