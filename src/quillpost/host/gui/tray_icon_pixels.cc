// Paints the tray icon's looks at build time and writes them as C++ arrays
// (ARGB32 premultiplied, 32x32, in TrayLook's order). The running program
// shows them from these arrays: it never needs the painter's antialiasing
// code, which would otherwise stay resident all day for five small pictures.
//
//   tray_icon_pixels OUTPUT_FILE
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPen>
#include <cstdio>

namespace {

// A disc whose colour says the look; the person is needed: red with a "!".
struct Look {
  const char* name;
  QColor colour;
  bool exclamation;
};

// TrayLook's order: needs_you, printing, handshaked, connecting, disconnected.
const Look kLooks[] = {
    {"needs_you", QColor(0xc6, 0x28, 0x28), true},
    {"printing", QColor(0x15, 0x65, 0xc0), false},
    {"handshaked", QColor(0x2e, 0x7d, 0x32), false},
    {"connecting", QColor(0xf9, 0xa8, 0x25), false},
    {"disconnected", QColor(0x9e, 0x9e, 0x9e), false},
};

QImage paint(const Look& look) {
  QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(look.colour);
  painter.setPen(QPen(QColor(0x42, 0x42, 0x42), 2));
  painter.drawEllipse(3, 3, 26, 26);
  if (look.exclamation) {
    painter.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(16, 9, 16, 18);
    painter.drawPoint(16, 24);
  }
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tray_icon_pixels OUTPUT_FILE\n");
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(out,
               "// Written by tray_icon_pixels at build time: the tray icon's looks,\n"
               "// ARGB32 premultiplied, 32x32, in TrayLook's order.\n"
               "inline constexpr int kTrayIconLooks = %d;\n"
               "inline constexpr unsigned kTrayIconPixels[kTrayIconLooks][32 * 32] = {\n",
               static_cast<int>(std::size(kLooks)));
  for (const Look& look : kLooks) {
    const QImage image = paint(look);
    std::fprintf(out, "    // %s\n    {", look.name);
    for (int y = 0; y < 32; ++y) {
      const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
      for (int x = 0; x < 32; ++x) {
        std::fprintf(out, "%s0x%08xu", x + y == 0 ? "" : (x == 0 ? ",\n     " : ", "),
                     static_cast<unsigned>(row[x]));
      }
    }
    std::fprintf(out, "},\n");
  }
  std::fprintf(out, "};\n");
  return std::fclose(out) == 0 ? 0 : 1;
}
