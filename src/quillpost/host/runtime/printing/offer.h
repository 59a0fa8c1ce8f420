// A print job offer from the service (the `print` event), checked where it
// enters: every value is the network's until proven otherwise.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace quillpost::printing {

// The largest document the client takes, whatever an offer declares.
inline constexpr std::uint64_t MAX_DOCUMENT_BYTES = std::uint64_t{2} << 30;  // 2 GiB
inline constexpr std::int64_t MAX_COPIES = 999;
inline constexpr std::size_t MAX_TITLE_CHARS = 255;
inline constexpr std::size_t MAX_URL_BYTES = 8192;

// The options of an offer, each already checked; empty: the printer's default.
struct PrintOptions {
  std::string media;        // a PWG media name
  std::string sides;        // one-sided, two-sided-long-edge, two-sided-short-edge
  std::string color_mode;   // color, monochrome, auto
  std::string page_ranges;  // "1-3,5": ascending, not overlapping, from 1
  bool operator==(const PrintOptions&) const = default;
};

struct JobOffer {
  std::string job_id;
  std::string printer;
  std::string title;  // cleaned and cut to MAX_TITLE_CHARS
  std::string url;    // holds a secret token: never logged
  std::string content_type;
  std::uint64_t size = 0;
  std::string sha256;  // 64 lower-case hex digits
  std::int64_t copies = 1;
  PrintOptions options;
  bool operator==(const JobOffer&) const = default;
};

// An offer that cannot be used: the reason, and its job id when that one is
// usable (the offer is then answered with `failed`).
struct OfferError {
  std::optional<std::string> job_id;
  std::string reason;
};

// Reads the payload of a `print` event. Unknown keys are ignored.
std::variant<JobOffer, OfferError> parse_offer(const nlohmann::json& payload);

// The offer in the form parse_offer reads (the journal keeps it so).
nlohmann::json offer_json(const JobOffer& offer);

// 1 to 64 characters of A-Z a-z 0-9 . _ -
bool is_job_id(std::string_view text);

// An http or https URL of at most MAX_URL_BYTES printable ASCII characters.
bool is_document_url(std::string_view url);

// The URL with its query and fragment hidden, for logs and reasons.
std::string redacted_url(std::string_view url);

}  // namespace quillpost::printing
