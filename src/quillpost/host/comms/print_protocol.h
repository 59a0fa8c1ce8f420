// The printing protocol's shared limits and forms, read by the client's
// printing agent and by quillpost-service alike, so that both sides take and
// refuse the same things. Header-only: no link dependency. (A file's SHA-256
// and the hex encoder are in host/base/digest.h.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillpost::comms::print {

// The largest document a job may have.
inline constexpr std::uint64_t MAX_DOCUMENT_BYTES = std::uint64_t{2} << 30;  // 2 GiB

// A job id: 1 to 64 characters of this alphabet.
inline constexpr std::size_t MAX_JOB_ID_CHARS = 64;
inline constexpr std::string_view JOB_ID_ALPHABET =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-";

constexpr bool is_job_id(std::string_view text) {
  return !text.empty() && text.size() <= MAX_JOB_ID_CHARS &&
         text.find_first_not_of(JOB_ID_ALPHABET) == std::string_view::npos;
}

// A document's SHA-256 as the protocol writes it: 64 lower-case hex digits.
inline constexpr std::size_t SHA256_HEX_CHARS = 64;

constexpr bool is_sha256_hex(std::string_view text) {
  return text.size() == SHA256_HEX_CHARS &&
         text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace quillpost::comms::print
