#include "quillpost/host/runtime/printing/offer.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "quillpost/host/base/http_url.h"
#include "quillpost/host/comms/print_protocol.h"
#include "quillpost/host/runtime/printing/clean_text.h"

namespace quillpost::printing {
namespace {

// A failed check: what is wrong with which key.
struct Invalid : std::runtime_error {
  using std::runtime_error::runtime_error;
};

bool is_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() || it->is_null() ? nullptr : &*it;
}

std::string text_member(const nlohmann::json& object, const char* key, bool required) {
  const nlohmann::json* value = member(object, key);
  if (!value) {
    if (required) throw Invalid(std::string("the offer has no ") + key);
    return "";
  }
  if (!value->is_string()) throw Invalid(std::string(key) + " is not a text");
  return value->get<std::string>();
}

std::int64_t integer_member(const nlohmann::json& object, const char* key, std::int64_t fallback,
                            std::int64_t min, std::int64_t max) {
  const nlohmann::json* value = member(object, key);
  if (!value) return fallback;
  if (!value->is_number_integer()) throw Invalid(std::string(key) + " is not an integer");
  // An unsigned value above the signed range reads as negative here.
  const std::int64_t n =
      value->is_number_unsigned() && value->get<std::uint64_t>() > static_cast<std::uint64_t>(max)
          ? max + 1
          : value->get<std::int64_t>();
  if (n < min || n > max) {
    throw Invalid(std::string(key) + " is outside " + std::to_string(min) + " to " +
                  std::to_string(max));
  }
  return n;
}

// Printer names as the printing system takes them: no control characters,
// spaces, slashes, backslashes, quotes, '?' or '#'.
void check_printer(const std::string& printer) {
  if (printer.empty() || printer.size() > 127) throw Invalid("printer name is empty or too long");
  if (clean_text(printer, printer.size()) != printer) throw Invalid("printer name is not clean");
  for (const char c : printer) {
    if (c == ' ' || c == '/' || c == '\\' || c == '?' || c == '#' || c == '\'' || c == '"') {
      throw Invalid("printer name holds a character printers cannot have");
    }
  }
}

bool is_token_char(char c) {
  return is_alnum(c) || std::string_view("!#$&^_.+-").find(c) != std::string_view::npos;
}

bool is_token(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), is_token_char);
}

// "type/subtype", optionally followed by "; name=value" parameters.
void check_content_type(const std::string& type) {
  if (type.size() > 255) throw Invalid("contentType is too long");
  std::string_view rest = type;
  const std::size_t end = rest.find(';');
  const std::string_view main = rest.substr(0, end);
  const std::size_t slash = main.find('/');
  if (slash == std::string_view::npos || !is_token(main.substr(0, slash)) ||
      !is_token(main.substr(slash + 1))) {
    throw Invalid("contentType is not a MIME type");
  }
  if (end == std::string_view::npos) return;
  rest.remove_prefix(end + 1);
  while (!rest.empty()) {
    const std::size_t next = rest.find(';');
    std::string_view parameter = rest.substr(0, next);
    while (!parameter.empty() && parameter.front() == ' ') parameter.remove_prefix(1);
    const std::size_t equals = parameter.find('=');
    if (equals == std::string_view::npos || !is_token(parameter.substr(0, equals)) ||
        !is_token(parameter.substr(equals + 1))) {
      throw Invalid("contentType has a malformed parameter");
    }
    if (next == std::string_view::npos) break;
    rest.remove_prefix(next + 1);
  }
}

std::string checked_sha256(std::string text) {
  if (text.size() != 64) throw Invalid("sha256 is not 64 hex digits");
  for (char& c : text) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      throw Invalid("sha256 is not 64 hex digits");
    }
  }
  return text;
}

std::int64_t page_number(std::string_view digits) {
  if (digits.empty() || digits.size() > 9 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    throw Invalid("pageRanges is not a list of pages and ranges such as 1-3,5");
  }
  return std::stoll(std::string(digits));
}

// Checks "1-3,5": pages from 1, ranges ascending and apart (the printing
// system refuses anything else at job creation). Returns it as given.
std::string checked_page_ranges(const std::string& text) {
  if (text.size() > 1024) throw Invalid("pageRanges is too long");
  std::string_view rest = text;
  std::int64_t previous_last = 0;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string_view range = rest.substr(0, comma);
    const std::size_t dash = range.find('-');
    const std::int64_t first = page_number(range.substr(0, dash));
    const std::int64_t last =
        dash == std::string_view::npos ? first : page_number(range.substr(dash + 1));
    if (first < 1 || last < first) throw Invalid("pageRanges holds an empty range or page 0");
    if (first <= previous_last) throw Invalid("pageRanges are not ascending and apart");
    previous_last = last;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return text;
}

std::string one_of(const nlohmann::json& options, const char* key,
                   std::initializer_list<std::string_view> allowed) {
  const std::string value = text_member(options, key, false);
  if (value.empty()) return value;
  if (std::find(allowed.begin(), allowed.end(), value) == allowed.end()) {
    throw Invalid(std::string(key) + " is not one of the known values");
  }
  return value;
}

PrintOptions parse_options(const nlohmann::json& payload) {
  PrintOptions options;
  const nlohmann::json* object = member(payload, "options");
  if (!object) return options;
  if (!object->is_object()) throw Invalid("options is not an object");
  options.media = text_member(*object, "media", false);
  if (!options.media.empty() &&
      (options.media.size() > 64 ||
       !std::all_of(options.media.begin(), options.media.end(), [](char c) {
         return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
                c == '.';
       }))) {
    throw Invalid("media is not a media size name");
  }
  options.sides =
      one_of(*object, "sides", {"one-sided", "two-sided-long-edge", "two-sided-short-edge"});
  options.color_mode = one_of(*object, "colorMode", {"color", "monochrome", "auto"});
  const std::string ranges = text_member(*object, "pageRanges", false);
  if (!ranges.empty()) options.page_ranges = checked_page_ranges(ranges);
  return options;
}

}  // namespace

static_assert(MAX_DOCUMENT_BYTES == comms::print::MAX_DOCUMENT_BYTES);

bool is_job_id(std::string_view text) {
  return comms::print::is_job_id(text);
}

bool is_document_url(std::string_view url) {
  if (url.size() > MAX_URL_BYTES) return false;
  for (const char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F) return false;
  }
  try {
    comms::split_http_url(url);
  } catch (const std::invalid_argument&) {
    return false;
  }
  return true;
}

std::variant<JobOffer, OfferError> parse_offer(const nlohmann::json& payload) {
  if (!payload.is_object()) return OfferError{std::nullopt, "the offer is not an object"};
  JobOffer offer;
  try {
    offer.job_id = text_member(payload, "jobId", true);
  } catch (const Invalid& e) {
    return OfferError{std::nullopt, e.what()};
  }
  if (!is_job_id(offer.job_id)) return OfferError{std::nullopt, "jobId is not a job id"};
  try {
    offer.printer = text_member(payload, "printer", true);
    check_printer(offer.printer);
    offer.title = clean_text(text_member(payload, "title", false), MAX_TITLE_CHARS);
    offer.url = text_member(payload, "url", true);
    if (!is_document_url(offer.url)) throw Invalid("url is not an http or https URL");
    offer.content_type = text_member(payload, "contentType", true);
    check_content_type(offer.content_type);
    if (!member(payload, "size")) throw Invalid("the offer has no size");
    offer.size = static_cast<std::uint64_t>(
        integer_member(payload, "size", 0, 0, static_cast<std::int64_t>(MAX_DOCUMENT_BYTES)));
    offer.sha256 = checked_sha256(text_member(payload, "sha256", true));
    offer.copies = integer_member(payload, "copies", 1, 1, MAX_COPIES);
    offer.options = parse_options(payload);
  } catch (const Invalid& e) {
    return OfferError{offer.job_id, e.what()};
  }
  return offer;
}

nlohmann::json offer_json(const JobOffer& offer) {
  nlohmann::json options = nlohmann::json::object();
  if (!offer.options.media.empty()) options["media"] = offer.options.media;
  if (!offer.options.sides.empty()) options["sides"] = offer.options.sides;
  if (!offer.options.color_mode.empty()) options["colorMode"] = offer.options.color_mode;
  if (!offer.options.page_ranges.empty()) options["pageRanges"] = offer.options.page_ranges;
  return {{"jobId", offer.job_id},
          {"printer", offer.printer},
          {"title", offer.title},
          {"url", offer.url},
          {"contentType", offer.content_type},
          {"size", offer.size},
          {"sha256", offer.sha256},
          {"copies", offer.copies},
          {"options", std::move(options)}};
}

std::string redacted_url(std::string_view url) {
  const std::size_t cut = url.find_first_of("?#");
  if (cut == std::string_view::npos) return std::string(url);
  return std::string(url.substr(0, cut)) + "?***";
}

}  // namespace quillpost::printing
