// The memory yardstick of desktop mode: the least a Qt 6 program that shows
// one tray icon holds. Runs until it is ended.
#include <QApplication>
#include <QColor>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QPixmap pixmap(32, 32);
  pixmap.fill(QColor(0x2e, 0x7d, 0x32));
  QSystemTrayIcon tray{QIcon(pixmap)};
  QMenu menu;
  QObject::connect(menu.addAction(QStringLiteral("Quit")), &QAction::triggered, &app,
                   &QApplication::quit);
  tray.setContextMenu(&menu);
  tray.setToolTip(QStringLiteral("tray_minimal"));
  tray.show();
  return QApplication::exec();
}
