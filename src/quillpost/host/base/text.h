// Text forms of values for log lines and user messages.
//
// One rendering is used everywhere: booleans read True/False, an unset value
// reads None, texts stand as they are, sequences and maps read like literals
// ("('host', 80)", "{'a': '1'}"). `percent_format` fills "%s"/"%d" placeholders
// with these forms, which is how every log line of the program is written.
#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quillpost {

// Types with a text form of their own provide `std::string to_text() const`.
template <typename T>
concept HasToText = requires(const T& v) {
  { v.to_text() } -> std::convertible_to<std::string>;
};

inline std::string to_text(const std::string& s) {
  return s;
}
inline std::string to_text(std::string_view s) {
  return std::string(s);
}
inline std::string to_text(const char* s) {
  return s;
}
inline std::string to_text(bool b) {
  return b ? "True" : "False";
}
inline std::string to_text(std::nullopt_t) {
  return "None";
}
inline std::string to_text(std::monostate) {
  return "None";
}
std::string to_text(double d);

template <std::integral T>
requires(!std::same_as<T, bool> && !std::same_as<T, char>) std::string to_text(T v) {
  return std::to_string(v);
}

template <HasToText T>
std::string to_text(const T& v) {
  return v.to_text();
}

// The literal form of an element inside a container: texts are quoted.
std::string quoted_text(std::string_view s);

// Declared before any definition so that the templates find each other
// whatever the nesting (an optional pair of optionals, a vector of pairs...).
template <typename T>
std::string element_text(const T& v);
template <typename T>
std::string to_text(const std::optional<T>& v);
template <typename T>
std::string element_text(const std::optional<T>& v);
template <typename... Ts>
std::string to_text(const std::variant<Ts...>& v);
template <typename A, typename B>
std::string to_text(const std::pair<A, B>& p);
template <typename T>
std::string to_text(const std::vector<T>& v);
template <typename K, typename V>
std::string to_text(const std::map<K, V>& m);

template <typename T>
std::string element_text(const T& v) {
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return quoted_text(v);
  } else {
    return to_text(v);
  }
}

template <typename T>
std::string to_text(const std::optional<T>& v) {
  return v ? to_text(*v) : std::string("None");
}

template <typename T>
std::string element_text(const std::optional<T>& v) {
  return v ? element_text(*v) : std::string("None");
}

template <typename... Ts>
std::string to_text(const std::variant<Ts...>& v) {
  return std::visit([](const auto& x) { return to_text(x); }, v);
}

template <typename A, typename B>
std::string to_text(const std::pair<A, B>& p) {
  return "(" + element_text(p.first) + ", " + element_text(p.second) + ")";
}

template <typename T>
std::string to_text(const std::vector<T>& v) {
  std::string out = "[";
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) out += ", ";
    out += element_text(v[i]);
  }
  return out + "]";
}

template <typename K, typename V>
std::string to_text(const std::map<K, V>& m) {
  std::string out = "{";
  bool first = true;
  for (const auto& [k, v] : m) {
    if (!first) out += ", ";
    first = false;
    out += element_text(k) + ": " + element_text(v);
  }
  return out + "}";
}

// Fills each "%s" or "%d" of `format` with the next argument's text form;
// "%%" is a literal percent sign. Missing arguments leave the placeholder as it
// is and surplus arguments are ignored, so a wrong log call never throws.
std::string percent_format(std::string_view format, const std::vector<std::string>& args);

template <typename... Args>
std::string percent_format(std::string_view format, const Args&... args) {
  return percent_format(format, std::vector<std::string>{to_text(args)...});
}

// `text` made safe to print or log as one line: control characters (C0, DEL
// and the C1 range) are written as escapes ("\n", "\r", "\t", "\x1b",
// "\u009b") and bytes that are not UTF-8 as "\xNN". Printable UTF-8 stays as
// it is. Texts from outside (servers, proxies, files) go through this before
// they reach a terminal or a log, so that they cannot forge lines or send the
// terminal escape sequences.
std::string escape_control(std::string_view text);

// POSIX shell quoting: a text of only safe characters stays as it is, the empty
// text becomes '', anything else is wrapped in single quotes.
std::string shell_quote(std::string_view s);

// A duration for people: "0.25s", "12.3s", "4m 05s", "2h 03m 05s", "3d 02h 03m".
std::string format_duration(double seconds);

}  // namespace quillpost
