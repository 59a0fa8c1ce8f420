// The printer list a computer sends ("printers"), checked before the service
// keeps it: it comes from the network.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <variant>

namespace quillpost::service {

// Bounds of the printer list; the client cuts its texts and lists to them.
inline constexpr std::size_t max_printer_text_chars = 1024;
inline constexpr std::size_t max_printer_list_entries = 256;

// The number of characters (code points) of a UTF-8 text.
std::size_t utf8_length(std::string_view text);

// The payload of a "printers" event as the service keeps it: the list of
// printers, each with exactly the known keys in a fixed order, absent texts
// as "" and absent capabilities as null. Otherwise the text of the first
// thing wrong ("printers[2].state is not idle, printing or stopped"); the
// whole message is then refused.
std::variant<nlohmann::ordered_json, std::string> validate_printers(
    const nlohmann::ordered_json& payload);

// The payload of a "printers.state" event, checked the same way: the list of
// {"name", "state", "stateReasons", "acceptingJobs"}, each printer at most
// once.
std::variant<nlohmann::ordered_json, std::string> validate_printer_states(
    const nlohmann::ordered_json& payload);

}  // namespace quillpost::service
