// The computer's printers as the link reports them (the `printers` event).
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillpost/host/runtime/printing/offer.h"

namespace quillpost::printing {

enum class PrinterState { idle, printing, stopped };
std::string_view name(PrinterState state);

// What a printer supports. A value the printing system does not report is
// unset: unknown, which is not a refusal.
struct Capabilities {
  std::optional<std::vector<std::string>> media;  // PWG media names
  std::optional<bool> color;
  std::optional<bool> duplex;
  std::optional<std::pair<std::int64_t, std::int64_t>> copies;  // (min, max)
  std::optional<std::vector<std::string>> document_formats;     // MIME types
  bool operator==(const Capabilities&) const = default;
};

struct Printer {
  std::string name;
  std::string description;
  std::string location;
  std::string make_and_model;
  bool is_default = false;
  PrinterState state = PrinterState::idle;
  std::vector<std::string> state_reasons;  // "none" left out
  bool accepting_jobs = true;
  Capabilities capabilities;
  bool operator==(const Printer&) const = default;
};

// Bounds on what one `printers` message carries: texts are cut to
// MAX_TEXT_CHARS characters, lists (the printers too) to MAX_LIST_ENTRIES,
// and the message to MAX_PRINTERS_PAYLOAD_BYTES (the link takes frames of at
// most 1 MiB): capability lists that do not fit are sent as unknown, and
// printers that do not fit even without them are left out.
inline constexpr std::size_t MAX_TEXT_CHARS = 1024;
inline constexpr std::size_t MAX_LIST_ENTRIES = 256;
inline constexpr std::size_t MAX_PRINTERS_PAYLOAD_BYTES = 768 * 1024;

// The reason a vanished printer is listed with when removals are disabled.
inline constexpr std::string_view OFFLINE_REASON = "offline";

// The payload of the `printers` event: {"printers": [...], "truncated": B},
// bounded as above, every text valid UTF-8 without control characters; B says
// whether anything was cut or left out.
nlohmann::json printers_payload(const std::vector<Printer>& printers);

// The list to report after a poll found `current`: with `keep_removed`, a
// printer of `previous` that is gone stays in it, stopped, not accepting jobs,
// with the reason OFFLINE_REASON. Sorted by name.
std::vector<Printer> merge_printers(const std::vector<Printer>& previous,
                                    std::vector<Printer> current, bool keep_removed);

// Why `printer` cannot print `offer` as asked (a document format, media size,
// two-sided or colour printing, or copies it does not support), or empty
// when it can as far as it says. What it does not report is not held against
// the offer.
std::string offer_mismatch(const Printer& printer, const JobOffer& offer);

// The printer called `name` in `printers`, or null.
const Printer* find_printer(const std::vector<Printer>& printers, std::string_view name);

}  // namespace quillpost::printing
