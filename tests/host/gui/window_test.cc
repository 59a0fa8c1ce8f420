// The window makes its widgets when first shown: what it was handed before
// must then show exactly as if it had been handed to the open window.
#include "quillpost/host/gui/window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QStackedWidget>
#include <QTreeWidget>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace quillpost::gui {
namespace {

QApplication& app() {
  static int argc = 3;
  static char name[] = "window_test";
  static char option[] = "-platform";
  static char platform[] = "offscreen";
  static char* argv[] = {name, option, platform, nullptr};
  static QApplication application(argc, argv);
  return application;
}

Window::Actions no_actions() {
  return {[] {},      [] {}, [] {}, [](const Window::SignIn&) {}, [] {}, [](bool) { return true; },
          [](bool) {}};
}

// What a person sees: each described label's text, each table's rows, the page.
std::map<std::string, std::string> seen(const Window& window) {
  std::map<std::string, std::string> texts;
  for (const QLabel* label : window.findChildren<QLabel*>()) {
    if (!label->accessibleDescription().isEmpty()) {
      texts[label->accessibleDescription().toStdString()] = label->text().toStdString();
    }
  }
  for (const QTreeWidget* tree : window.findChildren<QTreeWidget*>()) {
    QString rows;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
      for (int column = 0; column < tree->columnCount(); ++column) {
        rows += tree->topLevelItem(i)->text(column) + QLatin1Char('|');
      }
      rows += QLatin1Char('\n');
    }
    texts["table " + tree->accessibleName().toStdString()] = rows.toStdString();
  }
  const auto* pages = window.findChild<QStackedWidget*>();
  texts["page"] = pages ? pages->currentWidget()->accessibleName().toStdString() : "";
  return texts;
}

ConnectionView handshaked() {
  ConnectionView view;
  view.status = comms::ClientStatus::handshaked;
  view.state = "Handshaked";
  view.server = "127.0.0.1:7000";
  view.account_id = 12;
  view.computer_id = 34;
  return view;
}

TEST(Window, WhatItIsHandedWhileHiddenShowsAsIfHandedOpen) {
  app();
  printing::PrintingOverview overview;
  overview.system = "running";
  printing::Printer desk;
  desk.name = "Desk";
  desk.is_default = true;
  desk.state_reasons = {"toner-low"};
  overview.printers.push_back(desk);
  overview.jobs.push_back({"7", "report.pdf", "Desk", "failed", "no paper", 1700000000});
  using Calls = std::function<void(Window&)>;
  const std::vector<std::pair<const char*, Calls>> cases = {
      {"connected, with a log longer than it keeps, printers and the clock",
       [&](Window& w) {
         w.show_connection(handshaked());
         w.set_email("a@example.test");
         for (int i = 0; i < Window::kMaxLogLines + 3; ++i) {
           w.add_log(QDateTime::fromSecsSinceEpoch(1700000000 + i), "EVENT_" + std::to_string(i),
                     "line " + std::to_string(i));
         }
         w.show_printing(overview);
         w.show_clock("The computer's clock is right.");
         w.show_last_crash("");
         w.show_autostart(true);
       }},
      {"the server stays named through a reconnect's connected status",
       [](Window& w) {
         w.show_connection(handshaked());
         ConnectionView connected = handshaked();
         connected.status = comms::ClientStatus::connected;
         connected.state = "Connected";
         connected.server.clear();
         w.show_connection(connected);
       }},
      {"signed out: the form and its message",
       [](Window& w) {
         w.show_sign_in();
         w.set_sign_in_message("Signed out: the key was refused");
       }},
      {"signed in again: the tabs",
       [](Window& w) {
         w.show_sign_in();
         w.set_sign_in_message("Signed in.");
         w.show_tabs();
       }},
  };
  for (const auto& [name, calls] : cases) {
    SCOPED_TRACE(name);
    Window before("desk-1", no_actions(), true);
    calls(before);
    EXPECT_TRUE(before.findChildren<QTreeWidget*>().isEmpty()) << "widgets made while hidden";
    before.open();
    Window after("desk-1", no_actions(), true);
    after.open();
    calls(after);
    EXPECT_EQ(seen(before), seen(after));
    EXPECT_EQ(before.showing_sign_in(), after.showing_sign_in());
  }
}

TEST(Window, KeepsTheNewestLogLinesFirstWhileHidden) {
  app();
  Window window("desk-1", no_actions(), false);
  for (int i = 0; i < Window::kMaxLogLines + 2; ++i) {
    window.add_log(QDateTime::fromSecsSinceEpoch(1700000000), "E" + std::to_string(i), "");
  }
  window.open();
  const QTreeWidget* log = nullptr;
  for (const QTreeWidget* tree : window.findChildren<QTreeWidget*>()) {
    if (tree->accessibleName() == QStringLiteral("Log")) log = tree;
  }
  ASSERT_NE(log, nullptr);
  ASSERT_EQ(log->topLevelItemCount(), Window::kMaxLogLines);
  EXPECT_EQ(log->topLevelItem(0)->text(1), QStringLiteral("E1001"));
  EXPECT_EQ(log->topLevelItem(Window::kMaxLogLines - 1)->text(1), QStringLiteral("E2"));
}

}  // namespace
}  // namespace quillpost::gui
