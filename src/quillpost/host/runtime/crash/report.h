// Crash reports as the fatal-signal handler writes them
// (process/crash_handler.h): read back, checked, and turned into what the
// service receives.
#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace quillpost::crash {

struct CrashModule {
  std::uint64_t bias = 0;
  std::string build_id;  // hex; empty: none
  std::string path;
};

struct CrashReport {
  std::int64_t time = 0;  // seconds since 1970
  int signal = 0;
  std::string signal_name;
  int code = 0;
  std::string thread;
  std::string build;
  std::vector<std::uint64_t> frames;  // return addresses, innermost first
  std::vector<CrashModule> modules;
};

// A frame as symbolisation names it; empty texts where nothing is known.
struct SymbolisedFrame {
  std::uint64_t address = 0;
  std::string module;        // the module's file name
  std::uint64_t offset = 0;  // the address within the module
  std::string function;
  std::string file;
  int line = 0;
};

// The longest report file read: a handler writes a few kilobytes.
inline constexpr std::uintmax_t MAX_REPORT_BYTES = 256 * 1024;
// Reports kept on disk at most (the newest); older ones are removed at start.
inline constexpr std::size_t MAX_KEPT_REPORTS = 3;

// Reads a report's text. Nullopt when it is not a report of this format.
// Texts are kept as written but cut to a bounded length; a line it does not
// know is skipped.
std::optional<CrashReport> parse_crash_report(const std::string& text);

// The report files of `dir` ("crash-*.txt"), oldest first.
std::vector<std::filesystem::path> crash_report_files(const std::filesystem::path& dir);

// The frames with their modules, and whatever `symbolise` could add.
std::vector<SymbolisedFrame> frames_of(const CrashReport& report);

// The body of POST /v1/crash-reports.
nlohmann::json crash_report_json(const CrashReport& report,
                                 const std::vector<SymbolisedFrame>& frames);

}  // namespace quillpost::crash
