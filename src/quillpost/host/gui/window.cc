#include "quillpost/host/gui/window.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QMenuBar>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <ctime>

#include "quillpost/host/base/text.h"
#include "quillpost/host/runtime/printing/clean_text.h"

namespace quillpost::gui {
namespace {

// Texts from the printing system and the service, fit for a cell.
QString cell(std::string_view text) {
  return QString::fromStdString(printing::clean_text(text, 1024));
}

// A value label: its text is what screen readers read; the description says
// which value it is (a fixed accessible name would hide the text from them).
QLabel* value_label(QFormLayout* form, const QString& caption, const QString& description) {
  auto* value = new QLabel(QStringLiteral("-"));
  // A long text (a reason from the network) wraps rather than widening the
  // window past the screen.
  value->setWordWrap(true);
  // Tab reaches it (selectable text alone takes the focus only by a click).
  value->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  value->setFocusPolicy(Qt::StrongFocus);
  value->setAccessibleDescription(description);
  auto* label = new QLabel(caption);
  label->setBuddy(value);
  form->addRow(label, value);
  return value;
}

QTreeWidget* table(const QStringList& headers, const QString& name) {
  auto* tree = new QTreeWidget;
  tree->setHeaderLabels(headers);
  tree->setRootIsDecorated(false);
  tree->setUniformRowHeights(true);
  tree->setAccessibleName(name);
  tree->header()->setStretchLastSection(true);
  return tree;
}

}  // namespace

Window::Window(std::string computer_name, Actions actions, bool scales)
    : computer_name_(std::move(computer_name)), actions_(std::move(actions)), scales_tab_(scales) {
  setWindowTitle(QStringLiteral("QuillPost"));
  setAccessibleName(QStringLiteral("QuillPost"));
  resize(760, 520);
  clock_ = new QTimer(this);
  clock_->setInterval(1000);
  connect(clock_, &QTimer::timeout, this, [this] { refresh_connected_time(); });
}

void Window::setVisible(bool visible) {
  if (visible && !built_) build();
  QMainWindow::setVisible(visible);
}

void Window::build() {
  built_ = true;
  QMenu* menu = menuBar()->addMenu(QStringLiteral("&QuillPost"));
  QAction* reconnect = menu->addAction(QStringLiteral("&Reconnect now"));
  reconnect->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
  connect(reconnect, &QAction::triggered, this, [this] { actions_.reconnect(); });
  QAction* sign_out = menu->addAction(QStringLiteral("Sign &out"));
  connect(sign_out, &QAction::triggered, this, [this] { actions_.sign_out(); });
  menu->addSeparator();
  QAction* quit = menu->addAction(QStringLiteral("&Quit"));
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(quit, &QAction::triggered, this, [this] { actions_.quit(); });

  auto* tabs = new QTabWidget;
  tabs->setAccessibleName(QStringLiteral("Tabs"));
  tabs->addTab(make_status_tab(), QStringLiteral("&Status"));
  tabs->addTab(make_printers_tab(), QStringLiteral("&Printers"));
  tabs->addTab(make_jobs_tab(), QStringLiteral("&Jobs"));
  if (scales_tab_) tabs->addTab(make_scales_tab(), QStringLiteral("S&cales"));
  tabs_ = tabs;
  pages_ = new QStackedWidget;
  pages_->addWidget(tabs_);
  pages_->addWidget(make_sign_in_page());
  setCentralWidget(pages_);

  // What was handed over while there were no widgets.
  state_->setText(state_text_);
  server_->setText(server_text_);
  clock_line_->setText(clock_text_);
  last_crash_->setText(crash_text_);
  refresh_account();
  refresh_connected_time();
  fill_log();
  if (pending_printing_) {
    fill_printing(*pending_printing_);
    pending_printing_.reset();
  }
  if (pending_scales_) {
    fill_scales(*pending_scales_);
    pending_scales_.reset();
  }
  show_autostart(autostart_on_);
  sign_in_message_->setText(sign_in_message_text_);
  apply_sign_in_page();
}

QWidget* Window::make_status_tab() {
  auto* page = new QWidget;
  page->setAccessibleName(QStringLiteral("Status"));
  auto* layout = new QVBoxLayout(page);
  auto* form = new QFormLayout;
  state_ = value_label(form, QStringLiteral("State:"), QStringLiteral("State"));
  server_ = value_label(form, QStringLiteral("Server:"), QStringLiteral("Server"));
  account_ = value_label(form, QStringLiteral("Account:"), QStringLiteral("Account"));
  computer_ = value_label(form, QStringLiteral("Computer:"), QStringLiteral("Computer"));
  connected_time_ =
      value_label(form, QStringLiteral("Connected for:"), QStringLiteral("Time connected"));
  clock_line_ = value_label(form, QStringLiteral("Clock:"), QStringLiteral("Clock"));
  last_crash_ = value_label(form, QStringLiteral("Last crash:"), QStringLiteral("Last crash"));
  layout->addLayout(form);
  sign_out_button_ = new QPushButton(QStringLiteral("Sign &out"));
  sign_out_button_->setAccessibleName(QStringLiteral("Sign out"));
  connect(sign_out_button_, &QPushButton::clicked, this, [this] { actions_.sign_out(); });
  autostart_ = new QCheckBox(QStringLiteral("Start QuillPost when I &log in"));
  autostart_->setAccessibleName(QStringLiteral("Start QuillPost when I log in"));
  connect(autostart_, &QCheckBox::toggled, this, [this](bool on) {
    if (actions_.autostart(on)) return;
    const QSignalBlocker blocker(autostart_);
    autostart_->setChecked(!on);
  });
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(sign_out_button_);
  buttons->addWidget(autostart_);
  buttons->addStretch(1);
  layout->addLayout(buttons);

  log_search_ = new QLineEdit;
  log_search_->setPlaceholderText(QStringLiteral("Search the log"));
  log_search_->setAccessibleName(QStringLiteral("Search the log"));
  log_search_->setClearButtonEnabled(true);
  connect(log_search_, &QLineEdit::textChanged, this, [this] { filter_log(); });
  auto* search_label = new QLabel(QStringLiteral("Lo&g:"));
  search_label->setBuddy(log_search_);
  layout->addWidget(search_label);
  layout->addWidget(log_search_);
  log_ = table({QStringLiteral("Time"), QStringLiteral("Event"), QStringLiteral("Message")},
               QStringLiteral("Log"));
  // The time and the event name whole, the message in the rest.
  log_->setColumnWidth(
      0, log_->fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) + 16);
  log_->setColumnWidth(
      1, log_->fontMetrics().horizontalAdvance(QStringLiteral("CLIENT_FINDING_SERVER")) + 16);
  layout->addWidget(log_, 1);
  return page;
}

QWidget* Window::make_sign_in_page() {
  sign_in_page_ = new QWidget;
  sign_in_page_->setAccessibleName(QStringLiteral("Sign in"));
  auto* layout = new QVBoxLayout(sign_in_page_);
  auto* heading = new QLabel(QStringLiteral("Sign in to connect this computer to QuillPost."));
  heading->setWordWrap(true);
  layout->addWidget(heading);
  auto* form = new QFormLayout;
  const auto field = [form](const QString& caption, const QString& name, bool secret) {
    auto* edit = new QLineEdit;
    edit->setAccessibleName(name);
    edit->setMaxLength(1024);
    if (secret) edit->setEchoMode(QLineEdit::Password);
    auto* label = new QLabel(caption);
    label->setBuddy(edit);
    form->addRow(label, edit);
    return edit;
  };
  email_edit_ = field(QStringLiteral("&E-mail:"), QStringLiteral("E-mail"), false);
  password_edit_ = field(QStringLiteral("&Password:"), QStringLiteral("Password"), true);
  form->addRow(new QLabel(QStringLiteral("Or sign in with a client key:")));
  key_edit_ = field(QStringLiteral("Client &key:"), QStringLiteral("Client key"), true);
  layout->addLayout(form);
  sign_in_button_ = new QPushButton(QStringLiteral("&Sign in"));
  sign_in_button_->setAccessibleName(QStringLiteral("Sign in"));
  sign_in_button_->setDefault(true);
  connect(sign_in_button_, &QPushButton::clicked, this, [this] { submit_sign_in(); });
  for (QLineEdit* edit : {email_edit_, password_edit_, key_edit_}) {
    connect(edit, &QLineEdit::returnPressed, this, [this] { submit_sign_in(); });
  }
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(sign_in_button_);
  buttons->addStretch(1);
  layout->addLayout(buttons);
  sign_in_message_ = new QLabel;
  sign_in_message_->setTextFormat(Qt::PlainText);
  sign_in_message_->setWordWrap(true);
  sign_in_message_->setAccessibleDescription(QStringLiteral("Sign-in message"));
  sign_in_message_->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                            Qt::TextSelectableByKeyboard);
  sign_in_message_->setFocusPolicy(Qt::StrongFocus);
  layout->addWidget(sign_in_message_);
  layout->addStretch(1);
  return sign_in_page_;
}

void Window::submit_sign_in() {
  if (!sign_in_button_->isEnabled()) return;
  SignIn request{email_edit_->text().trimmed().toStdString(), password_edit_->text().toStdString(),
                 key_edit_->text().trimmed().toStdString()};
  if (request.client_key.empty() && (request.email.empty() || request.password.empty())) {
    sign_in_message_text_ = QStringLiteral("Give your e-mail and password, or a client key.");
    sign_in_message_->setText(sign_in_message_text_);
    return;
  }
  sign_in_enabled_ = false;
  sign_in_button_->setEnabled(false);
  sign_in_message_text_ = QStringLiteral("Signing in...");
  sign_in_message_->setText(sign_in_message_text_);
  actions_.sign_in(request);
}

void Window::show_sign_in() {
  sign_in_enabled_ = true;
  on_sign_in_page_ = true;
  apply_sign_in_page();
}

// The page (the form or the tabs) and the form's buttons as last asked for.
void Window::apply_sign_in_page() {
  if (!built_) return;
  sign_in_button_->setEnabled(sign_in_enabled_);
  sign_out_button_->setEnabled(!on_sign_in_page_);
  QWidget* page = on_sign_in_page_ ? sign_in_page_ : tabs_;
  if (pages_->currentWidget() != page) {
    pages_->setCurrentWidget(page);
    if (on_sign_in_page_) email_edit_->setFocus();
  }
}

void Window::set_sign_in_message(const std::string& message) {
  sign_in_message_text_ = cell(message);
  if (built_) sign_in_message_->setText(sign_in_message_text_);
}

void Window::sign_in_failed(const std::string& message) {
  set_sign_in_message(message);
  sign_in_enabled_ = true;
  apply_sign_in_page();
  if (built_) password_edit_->setFocus();
}

void Window::show_tabs() {
  if (built_) {
    password_edit_->clear();
    key_edit_->clear();
  }
  sign_in_enabled_ = true;
  on_sign_in_page_ = false;
  apply_sign_in_page();
}

void Window::show_autostart(bool on) {
  autostart_on_ = on;
  if (!built_) return;
  const QSignalBlocker blocker(autostart_);
  autostart_->setChecked(on);
}

bool Window::showing_sign_in() const {
  return on_sign_in_page_;
}

QWidget* Window::make_printers_tab() {
  auto* page = new QWidget;
  page->setAccessibleName(QStringLiteral("Printers"));
  auto* layout = new QVBoxLayout(page);
  printing_system_ = new QLabel(QStringLiteral("Printing system: starting"));
  printing_system_->setAccessibleDescription(QStringLiteral("Printing system"));
  printing_system_->setWordWrap(true);
  printing_system_->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                            Qt::TextSelectableByKeyboard);
  printing_system_->setFocusPolicy(Qt::StrongFocus);
  layout->addWidget(printing_system_);
  printers_ = table({QStringLiteral("Printer"), QStringLiteral("State"), QStringLiteral("Reasons"),
                     QStringLiteral("Accepting jobs"), QStringLiteral("Default")},
                    QStringLiteral("Printers"));
  layout->addWidget(printers_, 1);
  return page;
}

QWidget* Window::make_jobs_tab() {
  auto* page = new QWidget;
  page->setAccessibleName(QStringLiteral("Jobs"));
  auto* layout = new QVBoxLayout(page);
  jobs_ = table({QStringLiteral("Job"), QStringLiteral("Title"), QStringLiteral("Printer"),
                 QStringLiteral("State"), QStringLiteral("Reason"), QStringLiteral("Updated")},
                QStringLiteral("Jobs"));
  layout->addWidget(jobs_, 1);
  return page;
}

QWidget* Window::make_scales_tab() {
  auto* page = new QWidget;
  page->setAccessibleName(QStringLiteral("Scales"));
  auto* layout = new QVBoxLayout(page);
  scales_enabled_ = new QCheckBox(QStringLiteral("&Enable scales"));
  scales_enabled_->setAccessibleName(QStringLiteral("Enable scales"));
  // The box says what the agent reports; a change goes to the agent, whose
  // next overview confirms it.
  connect(scales_enabled_, &QCheckBox::toggled, this,
          [this](bool on) { actions_.scales_enabled(on); });
  layout->addWidget(scales_enabled_);
  scales_ = table({QStringLiteral("Scale"), QStringLiteral("Kind"), QStringLiteral("Reading"),
                   QStringLiteral("Grams"), QStringLiteral("Status"), QStringLiteral("Stable")},
                  QStringLiteral("Scales"));
  layout->addWidget(scales_, 1);
  return page;
}

void Window::show_scales(const nlohmann::json& overview) {
  if (!scales_tab_ || !overview.is_object()) return;
  if (built_) {
    fill_scales(overview);
  } else {
    pending_scales_ = overview;
  }
}

void Window::fill_scales(const nlohmann::json& overview) {
  const auto text = [](const nlohmann::json& object, const char* key) -> std::string {
    if (!object.is_object()) return "";
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : "";
  };
  {
    const QSignalBlocker blocker(scales_enabled_);
    scales_enabled_->setChecked(overview.value("enabled", nlohmann::json()) == true);
  }
  scales_->clear();
  const auto list = overview.find("scales");
  if (list == overview.end() || !list->is_array()) return;
  for (const nlohmann::json& scale : *list) {
    const nlohmann::json reading =
        scale.is_object() ? scale.value("reading", nlohmann::json()) : nlohmann::json();
    std::string value = text(reading, "value");
    if (!value.empty()) value += " " + text(reading, "unit");
    std::string status = text(reading, "status");
    if (const std::string reason = text(reading, "reason"); !reason.empty()) {
      status += ": " + reason;
    }
    const bool stable = reading.is_object() && reading.value("stable", nlohmann::json()) == true;
    scales_->addTopLevelItem(new QTreeWidgetItem(
        {cell(text(scale, "name")), cell(text(scale, "kind")), cell(value),
         cell(text(reading, "grams")), cell(reading.is_object() ? status : "no reading"),
         reading.is_object() ? (stable ? QStringLiteral("yes") : QStringLiteral("no"))
                             : QString()}));
  }
  for (int column = 0; column + 1 < scales_->columnCount(); ++column) {
    scales_->resizeColumnToContents(column);
  }
}

void Window::show_clock(const std::string& line) {
  clock_text_ = cell(line);
  if (built_) clock_line_->setText(clock_text_);
}

void Window::show_last_crash(const std::string& line) {
  crash_text_ = line.empty() ? QStringLiteral("None recorded") : cell(line);
  if (built_) last_crash_->setText(crash_text_);
}

void Window::show_connection(const ConnectionView& view) {
  const bool was_handshaked = view_.status == comms::ClientStatus::handshaked;
  view_ = view;
  state_text_ = QString::fromStdString(view.state);
  // The server stays named while the link to it lasts, whichever status says so.
  const bool linked = view.status == comms::ClientStatus::connected ||
                      view.status == comms::ClientStatus::handshaked;
  if (!view.server.empty()) {
    server_text_ = QString::fromStdString(view.server);
  } else if (!linked) {
    server_text_ = QStringLiteral("-");
  }
  if (built_) {
    state_->setText(state_text_);
    server_->setText(server_text_);
  }
  if (view.status == comms::ClientStatus::handshaked) {
    if (!was_handshaked) handshaked_for_.start();
  } else {
    handshaked_for_.invalidate();
  }
  tick_if_shown();
  refresh_account();
  refresh_connected_time();
}

void Window::tick_if_shown() {
  if (isVisible() && handshaked_for_.isValid()) {
    if (!clock_->isActive()) clock_->start();
  } else {
    clock_->stop();
  }
}

void Window::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  refresh_connected_time();
  tick_if_shown();
}

void Window::hideEvent(QHideEvent* event) {
  QMainWindow::hideEvent(event);
  tick_if_shown();
}

void Window::set_email(std::optional<std::string> email) {
  email_ = std::move(email);
  refresh_account();
}

void Window::refresh_account() {
  if (!built_) return;
  account_->setText(QString::fromStdString(account_text(email_, view_.account_id)));
  computer_->setText(QString::fromStdString(computer_text(computer_name_, view_.computer_id)));
}

void Window::refresh_connected_time() {
  if (!built_) return;
  connected_time_->setText(handshaked_for_.isValid()
                               ? QString::fromStdString(format_duration(
                                     static_cast<double>(handshaked_for_.elapsed() / 1000)))
                               : QStringLiteral("-"));
}

void Window::add_log(const QDateTime& at, const std::string& event, const std::string& message) {
  LogLine line{at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), cell(event), cell(message)};
  if (!built_) {
    pending_log_.push_front(std::move(line));
    if (pending_log_.size() > static_cast<std::size_t>(kMaxLogLines)) pending_log_.pop_back();
    return;
  }
  auto* item = new QTreeWidgetItem({line.time, line.event, line.message});
  log_->insertTopLevelItem(0, item);
  while (log_->topLevelItemCount() > kMaxLogLines) {
    delete log_->takeTopLevelItem(log_->topLevelItemCount() - 1);
  }
  const QString needle = log_search_->text();
  item->setHidden(!needle.isEmpty() && !item->text(1).contains(needle, Qt::CaseInsensitive) &&
                  !item->text(2).contains(needle, Qt::CaseInsensitive));
}

// The lines kept so far, in one insertion (the search is empty then).
void Window::fill_log() {
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(pending_log_.size()));
  for (const LogLine& line : pending_log_) {
    items.append(new QTreeWidgetItem({line.time, line.event, line.message}));
  }
  pending_log_.clear();
  log_->insertTopLevelItems(0, items);
}

void Window::filter_log() {
  const QString needle = log_search_->text();
  for (int i = 0; i < log_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = log_->topLevelItem(i);
    item->setHidden(!needle.isEmpty() && !item->text(1).contains(needle, Qt::CaseInsensitive) &&
                    !item->text(2).contains(needle, Qt::CaseInsensitive));
  }
}

void Window::show_printing(const printing::PrintingOverview& overview) {
  if (built_) {
    fill_printing(overview);
  } else {
    pending_printing_ = overview;
  }
}

void Window::fill_printing(const printing::PrintingOverview& overview) {
  printing_system_->setText(QStringLiteral("Printing system: ") + cell(overview.system));
  printers_->clear();
  for (const auto& printer : overview.printers) {
    std::string reasons;
    for (const auto& reason : printer.state_reasons) {
      reasons += (reasons.empty() ? "" : ", ") + reason;
    }
    printers_->addTopLevelItem(
        new QTreeWidgetItem({cell(printer.name), cell(printing::name(printer.state)), cell(reasons),
                             printer.accepting_jobs ? QStringLiteral("yes") : QStringLiteral("no"),
                             printer.is_default ? QStringLiteral("yes") : QString()}));
  }
  for (int column = 0; column + 1 < printers_->columnCount(); ++column) {
    printers_->resizeColumnToContents(column);
  }
  jobs_->clear();
  for (const auto& job : overview.jobs) {
    jobs_->addTopLevelItem(new QTreeWidgetItem(
        {cell(job.job_id), cell(job.title), cell(job.printer), cell(job.state), cell(job.reason),
         QDateTime::fromSecsSinceEpoch(job.updated_at)
             .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))}));
  }
  for (int column = 0; column + 1 < jobs_->columnCount(); ++column) {
    jobs_->resizeColumnToContents(column);
  }
}

void Window::open() {
  showNormal();
  raise();
  activateWindow();
}

void Window::closeEvent(QCloseEvent* event) {
  // The desktop decides: hide to the tray, or quit when no icon stays.
  event->ignore();
  actions_.closed();
}

}  // namespace quillpost::gui
