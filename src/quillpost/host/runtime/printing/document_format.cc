#include "quillpost/host/runtime/printing/document_format.h"

#include <algorithm>
#include <array>

namespace quillpost::printing {
namespace {

// application/octet-stream lets the printing system find out the type itself.
constexpr std::array<std::string_view, 10> CONVERTED{"application/pdf",
                                                     "application/postscript",
                                                     "application/octet-stream",
                                                     "text/plain",
                                                     "image/gif",
                                                     "image/jpeg",
                                                     "image/png",
                                                     "image/tiff",
                                                     "image/pwg-raster",
                                                     "image/urf"};
// Sent to the device unfiltered.
constexpr std::array<std::string_view, 2> RAW{"application/vnd.cups-raw",
                                              "application/vnd.cups-command"};

bool listed(const auto& list, std::string_view type) {
  return std::find(list.begin(), list.end(), type) != list.end();
}

}  // namespace

DocumentFormat document_format(std::string_view content_type, bool allow_raw) {
  std::string type(content_type.substr(0, content_type.find(';')));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  std::transform(type.begin(), type.end(), type.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  if (listed(CONVERTED, type)) return {type, ""};
  if (listed(RAW, type)) {
    if (allow_raw) return {type, ""};
    return {"", "document format " + type +
                    " goes to the printer unconverted; this computer takes it only with "
                    "allow_raw_printing = true in its configuration file"};
  }
  return {"", "document format " + type +
                  " is not printed (PDF, PostScript, GIF, JPEG, PNG, TIFF, PWG or URF raster, "
                  "plain text, or application/octet-stream)"};
}

}  // namespace quillpost::printing
