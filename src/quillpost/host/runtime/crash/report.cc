#include "quillpost/host/runtime/crash/report.h"

#include <algorithm>
#include <charconv>
#include <sstream>
#include <string_view>

namespace quillpost::crash {

namespace {

constexpr std::size_t kMaxText = 400;
constexpr std::size_t kMaxFrames = 64;
constexpr std::size_t kMaxModules = 512;

template <typename T>
bool number(std::string_view text, T& out, int base = 10) {
  if (base == 16 && text.starts_with("0x")) text.remove_prefix(2);
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return err == std::errc() && end == text.data() + text.size() && !text.empty();
}

// `text` with anything but printable ASCII replaced, cut to kMaxText.
std::string clean(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, kMaxText)) out += (c >= 0x20 && c < 0x7f) ? c : '?';
  return out;
}

bool hex_text(std::string_view text) {
  return text.size() <= 128 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::string hex(std::uint64_t v) {
  char text[24];
  const auto [end, err] = std::to_chars(text, text + sizeof text, v, 16);
  return "0x" + std::string(text, end);
}

}  // namespace

std::optional<CrashReport> parse_crash_report(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != "quillpost crash report 1") return std::nullopt;
  CrashReport report;
  bool have_time = false;
  bool have_signal = false;
  while (std::getline(in, line)) {
    const auto space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string_view key(line.data(), space);
    const std::string_view value = std::string_view(line).substr(space + 1);
    if (key == "time") {
      have_time = number(value, report.time);
    } else if (key == "signal") {
      const auto gap = value.find(' ');
      have_signal = number(value.substr(0, gap), report.signal);
      if (gap != std::string_view::npos) report.signal_name = clean(value.substr(gap + 1));
    } else if (key == "code") {
      number(value, report.code);
    } else if (key == "thread") {
      report.thread = clean(value);
    } else if (key == "build") {
      report.build = clean(value);
    } else if (key == "frame" && report.frames.size() < kMaxFrames) {
      std::uint64_t pc = 0;
      if (number(value, pc, 16)) report.frames.push_back(pc);
    } else if (key == "module" && report.modules.size() < kMaxModules) {
      const auto first = value.find(' ');
      const auto second = first == std::string_view::npos ? first : value.find(' ', first + 1);
      CrashModule module;
      if (second == std::string_view::npos || !number(value.substr(0, first), module.bias, 16)) {
        continue;
      }
      const auto id = value.substr(first + 1, second - first - 1);
      if (id != "-" && hex_text(id)) module.build_id = id;
      module.path = clean(value.substr(second + 1));
      report.modules.push_back(std::move(module));
    }
  }
  if (!have_time || !have_signal) return std::nullopt;
  return report;
}

std::vector<std::filesystem::path> crash_report_files(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("crash-") && name.ends_with(".txt") && entry.is_regular_file(ec)) {
      files.push_back(entry.path());
    }
  }
  // crash-<seconds>-<pid>.txt: by time, then pid.
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
    const std::string x = a.filename().string();
    const std::string y = b.filename().string();
    return x.size() != y.size() ? x.size() < y.size() : x < y;
  });
  return files;
}

std::vector<SymbolisedFrame> frames_of(const CrashReport& report) {
  std::vector<SymbolisedFrame> frames;
  for (const std::uint64_t pc : report.frames) {
    SymbolisedFrame frame;
    frame.address = pc;
    // The module with the highest load bias at or below the address.
    const CrashModule* best = nullptr;
    for (const auto& module : report.modules) {
      if (module.bias <= pc && (best == nullptr || module.bias > best->bias)) best = &module;
    }
    if (best != nullptr) {
      frame.module = std::filesystem::path(best->path).filename().string();
      frame.offset = pc - best->bias;
    }
    frames.push_back(std::move(frame));
  }
  return frames;
}

nlohmann::json crash_report_json(const CrashReport& report,
                                 const std::vector<SymbolisedFrame>& frames) {
  nlohmann::json out{{"time", report.time},
                     {"signal", report.signal},
                     {"signalName", report.signal_name},
                     {"code", report.code},
                     {"thread", report.thread},
                     {"build", report.build},
                     {"frames", nlohmann::json::array()},
                     {"modules", nlohmann::json::array()}};
  for (const auto& frame : frames) {
    nlohmann::json f{
        {"address", hex(frame.address)}, {"module", frame.module}, {"offset", hex(frame.offset)}};
    if (!frame.function.empty()) f["function"] = frame.function;
    if (!frame.file.empty()) {
      f["file"] = frame.file;
      f["line"] = frame.line;
    }
    out["frames"].push_back(std::move(f));
  }
  for (const auto& module : report.modules) {
    out["modules"].push_back({{"path", module.path}, {"buildId", module.build_id}});
  }
  return out;
}

}  // namespace quillpost::crash
