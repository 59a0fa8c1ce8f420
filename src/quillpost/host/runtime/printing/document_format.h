// The document formats the client hands to the printing system. The type
// comes from the service; the printing system acts on it: some types skip its
// filters and reach the device as they are (printer commands included), so
// only formats it converts are taken, and those raw ones only where the
// computer's owner allows them.
#pragma once

#include <string>
#include <string_view>

namespace quillpost::printing {

struct DocumentFormat {
  std::string format;   // for the printing system: the type, lower case, without parameters
  std::string refused;  // set: why the document is not printed
};

// The format of an offer's `content_type` (checked as a MIME type already);
// `allow_raw`: the configuration allows documents that skip the filters.
DocumentFormat document_format(std::string_view content_type, bool allow_raw);

}  // namespace quillpost::printing
