#include "usage2doc.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace usage2doc {
namespace {

std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

std::size_t indent_of(std::string_view line) {
  const auto at = line.find_first_not_of(' ');
  return at == std::string_view::npos ? line.size() : at;
}

std::string without_brackets(std::string_view value) {
  if (value.size() >= 2 && value.front() == '<' && value.back() == '>') {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

// "-h --help", "-h, --help", "--proxy-port=<int>" or "--listen HOST".
Option parse_term(std::string_view term) {
  Option option;
  while (!term.empty()) {
    const auto end = term.find(' ');
    std::string_view word = term.substr(0, end);
    term = end == std::string_view::npos ? std::string_view() : trim(term.substr(end));
    if (!word.empty() && word.back() == ',') word.remove_suffix(1);
    if (word.rfind("--", 0) == 0) {
      const auto eq = word.find('=');
      option.long_name = std::string(word.substr(0, eq));
      if (eq != std::string_view::npos) option.placeholder = without_brackets(word.substr(eq + 1));
    } else if (word.size() >= 2 && word[0] == '-') {
      option.short_name = std::string(word);
    } else if (!word.empty() && !option.long_name.empty()) {
      option.placeholder = without_brackets(word);
      option.separate_value = true;
    }
  }
  return option;
}

// The words in double quotes after "Allowed values are" in a description.
std::vector<std::string> allowed_words(std::string_view description) {
  std::vector<std::string> words;
  const auto at = description.find("Allowed values are");
  if (at == std::string_view::npos) return words;
  std::string_view rest = description.substr(at);
  rest = rest.substr(0, rest.find('.'));
  for (auto open = rest.find('"'); open != std::string_view::npos; open = rest.find('"')) {
    const auto close = rest.find('"', open + 1);
    if (close == std::string_view::npos) break;
    words.emplace_back(rest.substr(open + 1, close - open - 1));
    rest.remove_prefix(close + 1);
  }
  return words;
}

std::string without_backticks(std::string_view s) {
  std::string out;
  std::copy_if(s.begin(), s.end(), std::back_inserter(out), [](char c) { return c != '`'; });
  return out;
}

// Completion words go into the script unquoted: only characters that need no
// quoting are kept.
std::string safe_word(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ||
        c == '=') {
      out += c;
    }
  }
  return out;
}

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() > suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

Help parse_help(std::string_view text) {
  Help help;
  enum class Block { none, usage, options } block = Block::none;
  bool saw_usage = false;
  bool saw_options = false;
  std::string program;
  // A usage pattern starts with the program's name; other lines continue it.
  const auto add_usage = [&](std::string_view content) {
    const std::string_view first = content.substr(0, content.find(' '));
    if (program.empty()) program = std::string(first);
    if (first == program) {
      help.synopsis.emplace_back(trim(content.substr(first.size())));
    } else if (!help.synopsis.empty()) {
      help.synopsis.back() += " " + std::string(content);
    }
  };
  for (std::string_view line : lines_of(text)) {
    const std::string_view content = trim(line);
    if (content.rfind("Usage:", 0) == 0) {
      block = Block::usage;
      saw_usage = true;
      if (const auto rest = trim(content.substr(6)); !rest.empty()) add_usage(rest);
      continue;
    }
    if (content == "Options:") {
      block = Block::options;
      saw_options = true;
      continue;
    }
    if (content.empty()) {
      if (block == Block::usage) block = Block::none;
      continue;
    }
    if (block == Block::usage) {
      add_usage(content);
    } else if (block == Block::options) {
      if (indent_of(line) == 0) {
        block = Block::none;  // text after the option list
      } else if (content.front() == '-' && indent_of(line) < 8) {
        const auto gap = content.find("  ");
        Option option = parse_term(content.substr(0, gap));
        if (gap != std::string_view::npos) option.description = trim(content.substr(gap));
        help.options.push_back(std::move(option));
      } else if (!help.options.empty()) {
        help.options.back().description += " " + std::string(content);
      }
    }
  }
  if (!saw_usage || !saw_options) throw std::runtime_error("no Usage: or Options: block");
  return help;
}

std::vector<ExitCode> parse_exit_codes(std::string_view markdown) {
  std::vector<ExitCode> codes;
  bool in_section = false;
  bool in_table = false;
  for (std::string_view line : lines_of(markdown)) {
    const std::string_view content = trim(line);
    if (content.rfind('#', 0) == 0) {
      if (in_table) break;
      in_section = content.find("Exit codes") != std::string_view::npos;
      continue;
    }
    if (!in_section) continue;
    if (content.empty() || content.front() != '|') {
      if (in_table) break;
      continue;
    }
    std::vector<std::string> cells;
    for (std::string_view row = content.substr(1); !row.empty();) {
      const auto bar = row.find('|');
      cells.emplace_back(trim(row.substr(0, bar)));
      if (bar == std::string_view::npos) break;
      row.remove_prefix(bar + 1);
    }
    if (!in_table) {  // the header row; the separator row follows
      in_table = true;
      continue;
    }
    if (cells.size() < 3 || cells[0].find_first_not_of("-: ") == std::string::npos) continue;
    codes.push_back(
        {without_backticks(cells[0]), without_backticks(cells[1]), without_backticks(cells[2])});
  }
  return codes;
}

std::string roff_escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  if (!out.empty() && (out.front() == '.' || out.front() == '\'')) out.insert(0, "\\&");
  return out;
}

std::string man_page(const Help& help, const std::vector<ExitCode>& codes, const Page& page) {
  std::string upper;
  for (char c : page.name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string out = ".TH " + upper + " 1 \"" + page.date + "\" \"" + roff_escape(page.source) +
                    "\" \"User Commands\"\n";
  out += ".SH NAME\n" + roff_escape(page.name) + " \\- " + roff_escape(page.summary) + "\n";
  out += ".SH SYNOPSIS\n.ad l\n";
  for (std::size_t i = 0; i < help.synopsis.size(); ++i) {
    if (i) out += ".br\n";
    out += ".B " + roff_escape(page.name) + "\n" + roff_escape(help.synopsis[i]) + "\n";
  }
  out += ".ad\n";
  if (!page.description.empty()) out += ".SH DESCRIPTION\n" + page.description;
  out += ".SH OPTIONS\n";
  for (const Option& option : help.options) {
    out += ".TP\n";
    if (!option.short_name.empty()) out += "\\fB" + roff_escape(option.short_name) + "\\fR, ";
    out += "\\fB" + roff_escape(option.long_name) + "\\fR";
    if (!option.placeholder.empty()) {
      out += (option.separate_value ? " " : "=");
      out += "\\fI" + roff_escape(option.placeholder) + "\\fR";
    }
    out += "\n" + roff_escape(option.description) + "\n";
  }
  if (!codes.empty()) {
    out += ".SH \"EXIT STATUS\"\n";
    for (const ExitCode& code : codes) {
      out += ".TP\n.B " + roff_escape(code.code) + "\n";
      if (!code.name.empty()) out += "\\fB" + roff_escape(code.name) + "\\fR: ";
      out += roff_escape(code.meaning) + "\n";
    }
  }
  return out + page.tail;
}

std::string bash_completion(const Help& help, std::string_view program) {
  std::string function = "_";
  for (char c : program) function += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  // What follows an option that takes a value, and the options it follows:
  // "" offers nothing (free text), "\x01file" file names, "\x01dir"
  // directories, anything else the words to offer.
  const std::string files =
      "\x01"
      "file";
  const std::string dirs =
      "\x01"
      "dir";
  std::vector<std::pair<std::string, std::string>> groups;  // (reply, "--a|--b")
  std::string words;
  for (const Option& option : help.options) {
    const std::string name = safe_word(option.long_name);
    if (!option.short_name.empty()) words += " " + safe_word(option.short_name);
    words += " " + name + (option.placeholder.empty() || option.separate_value ? "" : "=");
    if (option.placeholder.empty()) continue;
    std::string reply;
    if (ends_with(name, "-file") || option.placeholder == "FILE") {
      reply = files;
    } else if (ends_with(name, "-dir")) {
      reply = dirs;
    } else {
      std::vector<std::string> values = allowed_words(option.description);
      if (option.placeholder == "bool") values = {"true", "false"};
      for (const auto& v : values) reply += (reply.empty() ? "" : " ") + safe_word(v);
    }
    const auto group =
        std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == reply; });
    if (group == groups.end()) {
      groups.emplace_back(reply, name);
    } else {
      group->second += "|" + name;
    }
  }
  std::string out = "# bash completion for " + std::string(program) +
                    "; generated from its --help text.\n" + function +
                    "()\n{\n  local cur prev words cword split\n  _init_completion -s || return\n" +
                    "\n  case $prev in\n";
  for (const auto& [reply, names] : groups) {
    out += "    " + names + ")\n";
    if (reply == files) {
      out += "      _filedir\n";
    } else if (reply == dirs) {
      out += "      _filedir -d\n";
    } else if (!reply.empty()) {
      out += "      COMPREPLY=($(compgen -W '" + reply + "' -- \"$cur\"))\n";
    }
    out += "      return\n      ;;\n";
  }
  out += "  esac\n\n  $split && return\n\n";
  out += "  if [[ $cur == -* ]]; then\n    COMPREPLY=($(compgen -W '" + words.substr(1) +
         "' -- \"$cur\"))\n    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace\n  fi\n} &&\n" +
         "  complete -F " + function + " " + std::string(program) + "\n";
  return out;
}

}  // namespace usage2doc
