#include "service/printers.h"

#include <algorithm>
#include <array>
#include <set>

namespace quillpost::service {
namespace {

using ojson = nlohmann::ordered_json;

// Thrown inside the checks with the text of what is wrong.
struct Refused {
  std::string text;
};

const ojson* member(const ojson& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string text(const ojson& object, const char* key, const std::string& where,
                 bool required = false) {
  const ojson* value = member(object, key);
  if (value == nullptr || (value->is_null() && !required)) {
    if (required) throw Refused{where + "." + key + " is missing"};
    return {};
  }
  if (!value->is_string()) throw Refused{where + "." + key + " is not a text"};
  std::string s = value->get<std::string>();
  if (utf8_length(s) > max_printer_text_chars) {
    throw Refused{where + "." + key + " is over " + std::to_string(max_printer_text_chars) +
                  " characters"};
  }
  return s;
}

bool boolean(const ojson& object, const char* key, const std::string& where) {
  const ojson* value = member(object, key);
  if (value == nullptr || !value->is_boolean()) {
    throw Refused{where + "." + key + " is not true or false"};
  }
  return value->get<bool>();
}

ojson optional_boolean(const ojson& object, const char* key, const std::string& where) {
  const ojson* value = member(object, key);
  if (value == nullptr || value->is_null()) return nullptr;
  if (!value->is_boolean()) throw Refused{where + "." + key + " is not true, false or null"};
  return *value;
}

// A list of texts; null when absent or null and `nullable`.
ojson text_list(const ojson& object, const char* key, const std::string& where, bool nullable) {
  const ojson* value = member(object, key);
  if (value == nullptr || value->is_null()) {
    if (nullable) return nullptr;
    return ojson::array();
  }
  const std::string name = where + "." + key;
  if (!value->is_array()) throw Refused{name + " is not a list"};
  if (value->size() > max_printer_list_entries) {
    throw Refused{name + " has over " + std::to_string(max_printer_list_entries) + " entries"};
  }
  ojson list = ojson::array();
  for (std::size_t i = 0; i < value->size(); ++i) {
    const ojson& item = (*value)[i];
    if (!item.is_string()) throw Refused{name + "[" + std::to_string(i) + "] is not a text"};
    if (utf8_length(item.get_ref<const std::string&>()) > max_printer_text_chars) {
      throw Refused{name + "[" + std::to_string(i) + "] is over " +
                    std::to_string(max_printer_text_chars) + " characters"};
    }
    list.push_back(item);
  }
  return list;
}

ojson copies(const ojson& capabilities, const std::string& where) {
  const ojson* value = member(capabilities, "copies");
  if (value == nullptr || value->is_null()) return nullptr;
  const std::string name = where + ".copies";
  if (!value->is_object()) throw Refused{name + " is not an object or null"};
  const ojson* min = member(*value, "min");
  const ojson* max = member(*value, "max");
  if (min == nullptr || max == nullptr || !min->is_number_integer() || !max->is_number_integer() ||
      min->get<std::int64_t>() < 0 || min->get<std::int64_t>() > max->get<std::int64_t>()) {
    throw Refused{name + " needs integers min and max with 0 <= min <= max"};
  }
  return ojson{{"min", *min}, {"max", *max}};
}

ojson capabilities(const ojson& printer, const std::string& where) {
  const std::string name = where + ".capabilities";
  const ojson* value = member(printer, "capabilities");
  static const ojson unknown{{"media", nullptr},
                             {"color", nullptr},
                             {"duplex", nullptr},
                             {"copies", nullptr},
                             {"documentFormats", nullptr}};
  if (value == nullptr || value->is_null()) return unknown;
  if (!value->is_object()) throw Refused{name + " is not an object"};
  return ojson{{"media", text_list(*value, "media", name, true)},
               {"color", optional_boolean(*value, "color", name)},
               {"duplex", optional_boolean(*value, "duplex", name)},
               {"copies", copies(*value, name)},
               {"documentFormats", text_list(*value, "documentFormats", name, true)}};
}

std::string name_of(const ojson& value, const std::string& where) {
  if (!value.is_object()) throw Refused{where + " is not an object"};
  std::string name = text(value, "name", where, true);
  if (name.empty()) throw Refused{where + ".name is empty"};
  return name;
}

std::string state_of(const ojson& value, const std::string& where) {
  std::string state = text(value, "state", where, true);
  static constexpr std::array<std::string_view, 3> states{"idle", "printing", "stopped"};
  if (std::find(states.begin(), states.end(), state) == states.end()) {
    throw Refused{where + ".state is not idle, printing or stopped"};
  }
  return state;
}

ojson printer(const ojson& value, const std::string& where) {
  std::string name = name_of(value, where);
  std::string state = state_of(value, where);
  return ojson{{"name", name},
               {"description", text(value, "description", where)},
               {"location", text(value, "location", where)},
               {"makeAndModel", text(value, "makeAndModel", where)},
               {"default", boolean(value, "default", where)},
               {"state", state},
               {"stateReasons", text_list(value, "stateReasons", where, false)},
               {"acceptingJobs", boolean(value, "acceptingJobs", where)},
               {"capabilities", capabilities(value, where)}};
}

}  // namespace

std::size_t utf8_length(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

namespace {

ojson printer_state(const ojson& value, const std::string& where) {
  std::string name = name_of(value, where);
  std::string state = state_of(value, where);
  return ojson{{"name", name},
               {"state", state},
               {"stateReasons", text_list(value, "stateReasons", where, false)},
               {"acceptingJobs", boolean(value, "acceptingJobs", where)}};
}

std::variant<ojson, std::string> validate_list(const ojson& payload,
                                               ojson (*entry_of)(const ojson&,
                                                                 const std::string&)) {
  if (!payload.is_object()) return std::string("the payload is not an object");
  const ojson* list = member(payload, "printers");
  if (list == nullptr || !list->is_array()) return std::string("printers is not a list");
  if (list->size() > max_printer_list_entries) {
    return "printers has over " + std::to_string(max_printer_list_entries) + " entries";
  }
  if (const ojson* truncated = member(payload, "truncated");
      truncated != nullptr && !truncated->is_boolean()) {
    return std::string("truncated is not true or false");
  }
  ojson kept = ojson::array();
  std::set<std::string> names;
  try {
    for (std::size_t i = 0; i < list->size(); ++i) {
      const std::string where = "printers[" + std::to_string(i) + "]";
      ojson entry = entry_of((*list)[i], where);
      if (!names.insert(entry["name"].get<std::string>()).second) {
        throw Refused{where + ".name is used twice"};
      }
      kept.push_back(std::move(entry));
    }
  } catch (const Refused& refused) {
    return refused.text;
  }
  return kept;
}

}  // namespace

std::variant<ojson, std::string> validate_printers(const ojson& payload) {
  return validate_list(payload, printer);
}

std::variant<ojson, std::string> validate_printer_states(const ojson& payload) {
  return validate_list(payload, printer_state);
}

}  // namespace quillpost::service
