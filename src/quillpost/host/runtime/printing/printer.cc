#include "quillpost/host/runtime/printing/printer.h"

#include <algorithm>

#include "quillpost/host/runtime/printing/clean_text.h"

namespace quillpost::printing {
namespace {

// The number of characters (code points) of UTF-8 text.
std::size_t chars(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

bool list_cut(const std::vector<std::string>& items) {
  return items.size() > MAX_LIST_ENTRIES ||
         std::any_of(items.begin(), items.end(),
                     [](const std::string& item) { return chars(item) > MAX_TEXT_CHARS; });
}

nlohmann::json text_list(const std::vector<std::string>& items) {
  nlohmann::json list = nlohmann::json::array();
  for (std::size_t i = 0; i < items.size() && i < MAX_LIST_ENTRIES; ++i) {
    list.push_back(clean_text(items[i], MAX_TEXT_CHARS));
  }
  return list;
}

// Whether the entry of `p` loses anything to the bounds of texts and lists.
bool entry_cut(const Printer& p) {
  const Capabilities& caps = p.capabilities;
  const std::string* texts[] = {&p.name, &p.description, &p.location, &p.make_and_model};
  return std::any_of(std::begin(texts), std::end(texts),
                     [](const std::string* text) { return chars(*text) > MAX_TEXT_CHARS; }) ||
         list_cut(p.state_reasons) || (caps.media && list_cut(*caps.media)) ||
         (caps.document_formats && list_cut(*caps.document_formats));
}

template <typename T>
nlohmann::json optional_json(const std::optional<T>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json capabilities_json(const Capabilities& caps, bool with_lists) {
  nlohmann::json copies = nullptr;
  if (caps.copies) copies = {{"min", caps.copies->first}, {"max", caps.copies->second}};
  return {
      {"media", with_lists && caps.media ? text_list(*caps.media) : nlohmann::json(nullptr)},
      {"color", optional_json(caps.color)},
      {"duplex", optional_json(caps.duplex)},
      {"copies", copies},
      {"documentFormats", with_lists && caps.document_formats ? text_list(*caps.document_formats)
                                                              : nlohmann::json(nullptr)}};
}

nlohmann::json printer_json(const Printer& p, bool with_lists) {
  return {{"name", clean_text(p.name, MAX_TEXT_CHARS)},
          {"description", clean_text(p.description, MAX_TEXT_CHARS)},
          {"location", clean_text(p.location, MAX_TEXT_CHARS)},
          {"makeAndModel", clean_text(p.make_and_model, MAX_TEXT_CHARS)},
          {"default", p.is_default},
          {"state", name(p.state)},
          {"stateReasons", text_list(p.state_reasons)},
          {"acceptingJobs", p.accepting_jobs},
          {"capabilities", capabilities_json(p.capabilities, with_lists)}};
}

}  // namespace

std::string_view name(PrinterState state) {
  switch (state) {
    case PrinterState::idle:
      return "idle";
    case PrinterState::printing:
      return "printing";
    case PrinterState::stopped:
      return "stopped";
  }
  return "stopped";
}

nlohmann::json printers_payload(const std::vector<Printer>& printers) {
  const std::size_t count = std::min(printers.size(), MAX_LIST_ENTRIES);
  // Every printer first without its capability lists, then the lists while
  // the message stays within its bound: a very long list loses capabilities
  // before it loses printers, and printers that do not fit even bare are
  // left out rather than making a message the link refuses.
  std::vector<nlohmann::json> entries;
  entries.reserve(count);
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    nlohmann::json entry = printer_json(printers[i], false);
    const std::size_t size = entry.dump().size();
    if (bytes + size > MAX_PRINTERS_PAYLOAD_BYTES) break;
    bytes += size;
    entries.push_back(std::move(entry));
  }
  bool truncated = entries.size() < printers.size();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    truncated = truncated || entry_cut(printers[i]);
    nlohmann::json full = printer_json(printers[i], true);
    const std::size_t bare = entries[i].dump().size();
    const std::size_t size = full.dump().size();
    if (bytes - bare + size > MAX_PRINTERS_PAYLOAD_BYTES) {
      truncated = truncated || full["capabilities"] != entries[i]["capabilities"];
      continue;
    }
    bytes = bytes - bare + size;
    entries[i] = std::move(full);
  }
  // What was cut is said, so that a missing printer or medium is not taken
  // for one the computer does not have.
  return {{"printers", std::move(entries)}, {"truncated", truncated}};
}

std::vector<Printer> merge_printers(const std::vector<Printer>& previous,
                                    std::vector<Printer> current, bool keep_removed) {
  if (keep_removed) {
    for (const Printer& old : previous) {
      if (find_printer(current, old.name)) continue;
      Printer gone = old;
      gone.state = PrinterState::stopped;
      gone.accepting_jobs = false;
      gone.is_default = false;
      gone.state_reasons = {std::string(OFFLINE_REASON)};
      current.push_back(std::move(gone));
    }
  }
  std::sort(current.begin(), current.end(),
            [](const Printer& a, const Printer& b) { return a.name < b.name; });
  return current;
}

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::string offer_mismatch(const Printer& printer, const JobOffer& offer) {
  const Capabilities& caps = printer.capabilities;
  const std::string prefix = "printer " + printer.name + " ";
  if (caps.document_formats && !caps.document_formats->empty()) {
    const std::string type = lower(offer.content_type.substr(0, offer.content_type.find(';')));
    const bool taken =
        std::any_of(caps.document_formats->begin(), caps.document_formats->end(),
                    [&](const std::string& format) { return lower(format) == type; });
    if (!taken) return prefix + "does not take documents of type " + type;
  }
  if (!offer.options.media.empty() && caps.media && !caps.media->empty() &&
      std::find(caps.media->begin(), caps.media->end(), offer.options.media) == caps.media->end()) {
    return prefix + "has no media " + offer.options.media;
  }
  if (offer.options.sides.starts_with("two-sided") && caps.duplex && !*caps.duplex) {
    return prefix + "cannot print on both sides";
  }
  if (offer.options.color_mode == "color" && caps.color && !*caps.color) {
    return prefix + "cannot print in colour";
  }
  if (caps.copies && (offer.copies < caps.copies->first || offer.copies > caps.copies->second)) {
    return prefix + "cannot print " + std::to_string(offer.copies) + " copies";
  }
  return "";
}

const Printer* find_printer(const std::vector<Printer>& printers, std::string_view name) {
  for (const Printer& p : printers) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

}  // namespace quillpost::printing
