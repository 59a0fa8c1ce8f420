// The HTML of the status page.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace quillpost::web {

// Escapes the five characters that matter in HTML text and attribute values.
std::string html_escape(std::string_view text);

// The whole page, filled with `status` (the JSON of GET /status) so that it is
// complete without its script; the script then refreshes it from /status every
// second. Self-contained: no external style sheet, script, font or image.
std::string render_status_page(const nlohmann::json& status);

}  // namespace quillpost::web
