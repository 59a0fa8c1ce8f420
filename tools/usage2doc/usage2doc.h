// Turns a program's help text into a manual page and a bash completion
// script at build time, so that neither can drift from the options the
// program really takes.
//
// The help text is read as the launcher and the local service print it: a
// "Usage:" block of patterns, then an "Options:" block where a line starting
// with "-" holds an option's names and placeholder, two or more blanks, and
// its description, continued on more indented lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace usage2doc {

struct Option {
  std::string short_name;       // "-h", or empty
  std::string long_name;        // "--settings-dir"
  std::string placeholder;      // "string" for "--settings-dir=<string>"; empty for a flag
  bool separate_value = false;  // "--listen HOST": the value is the next word
  std::string description;      // continuation lines joined with blanks
};

struct Help {
  std::vector<std::string> synopsis;  // the usage patterns without the program's name
  std::vector<Option> options;
};

// Throws std::runtime_error when the text has no "Usage:" or "Options:" block.
Help parse_help(std::string_view text);

struct ExitCode {
  std::string code;
  std::string name;  // may be empty
  std::string meaning;
};

// The rows of the first markdown table under a heading that names "Exit codes".
std::vector<ExitCode> parse_exit_codes(std::string_view markdown);

// `text` safe as roff text: backslashes, hyphens (as \-), and a leading '.' or
// '\'' that would make the line a request.
std::string roff_escape(std::string_view text);

struct Page {
  std::string name;         // "quillpost"
  std::string summary;      // the NAME line's text after "\-"
  std::string date;         // "2024-01-31"
  std::string source;       // "quillpost 0.1.0"
  std::string description;  // roff, the DESCRIPTION section's body
  std::string tail;         // roff, sections after EXIT STATUS
};

// A section 1 manual page: NAME, SYNOPSIS, DESCRIPTION, OPTIONS, EXIT STATUS
// (when `codes` has rows), then `page.tail`.
std::string man_page(const Help& help, const std::vector<ExitCode>& codes, const Page& page);

// A bash completion script for `program` (bash-completion's helpers): option
// names, file names after "-file" options, directories after "-dir" options,
// true/false after "<bool>", and the quoted words of "Allowed values are".
std::string bash_completion(const Help& help, std::string_view program);

}  // namespace usage2doc
