#include "quillpost/host/runtime/scales/devices.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>

#include "quillpost/host/base/text.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/threads.h"
#include "quillpost/host/runtime/printing/clean_text.h"

namespace quillpost::scales {

using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMaxLine = 256;  // a serial frame longer than this is garbage
constexpr int kBadFramesToFault = 3;   // garbage frames in a row that make a fault
constexpr std::size_t kMaxFileBytes = 4096;
constexpr std::size_t kMaxHidScales = 64;
// A node that ended (a FIFO's writer closed) is opened again after this.
constexpr std::chrono::milliseconds kReopenAfterEnd{100};
constexpr const char* kUdevRule = "/usr/lib/udev/rules.d/60-quillpost-scales.rules";

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<int> to_int(std::string_view s) {
  int v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<speed_t> baud_constant(int baud) {
  static const std::map<int, speed_t> table = {{1200, B1200},   {2400, B2400},    {4800, B4800},
                                               {9600, B9600},   {19200, B19200},  {38400, B38400},
                                               {57600, B57600}, {115200, B115200}};
  auto it = table.find(baud);
  if (it == table.end()) return std::nullopt;
  return it->second;
}

// A file of the device tree, at most kMaxFileBytes.
std::optional<std::string> read_small(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data(kMaxFileBytes, '\0');
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  data.resize(static_cast<std::size_t>(in.gcount()));
  return data;
}

// A text from a device made fit for an id: letters, digits and ".-_:" kept,
// anything else "_", at most 64 characters.
std::string id_part(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 64)) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-' || c == '_' || c == ':';
    out.push_back(keep ? c : '_');
  }
  return out;
}

std::string lower_hex4(std::string_view hex8) {
  std::string s(hex8.size() > 4 ? hex8.substr(hex8.size() - 4) : hex8);
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::string errno_text(int error) {
  return std::strerror(error);
}

}  // namespace

std::variant<std::vector<SerialScaleConfig>, std::string> parse_serial_scales(
    std::string_view text) {
  std::vector<SerialScaleConfig> scales;
  std::size_t index = 0;
  while (!text.empty()) {
    const auto semi = text.find(';');
    std::string_view entry = trim(text.substr(0, semi));
    text = semi == std::string_view::npos ? std::string_view{} : text.substr(semi + 1);
    if (entry.empty()) continue;
    ++index;
    const std::string where = "serial_scales entry " + std::to_string(index) + ": ";
    std::vector<std::string_view> words;
    while (!entry.empty()) {
      const auto space = entry.find_first_of(" \t");
      words.push_back(entry.substr(0, space));
      entry = space == std::string_view::npos ? std::string_view{} : trim(entry.substr(space));
    }
    if (words.size() != 4) return where + "must be PATH BAUD FRAMING PROTOCOL";
    SerialScaleConfig c;
    c.path = std::string(words[0]);
    if (c.path.empty() || c.path.front() != '/' || c.path.size() > 1024) {
      return where + "the path must be absolute";
    }
    auto baud = to_int(words[1]);
    if (!baud || !baud_constant(*baud)) return where + "the baud rate is not one of 1200 to 115200";
    c.baud = *baud;
    const auto framing = words[2];
    if (framing.size() != 3 || framing[0] < '5' || framing[0] > '8' ||
        std::string_view("NEO").find(framing[1]) == std::string_view::npos ||
        (framing[2] != '1' && framing[2] != '2')) {
      return where +
             "the framing must be like 8N1 (data bits 5-8, parity N, E or O, stop bits 1-2)";
    }
    c.data_bits = framing[0] - '0';
    c.parity = framing[1];
    c.stop_bits = framing[2] - '0';
    if (words[3] == "nci") {
      c.protocol = Protocol::nci;
    } else if (words[3] == "sics") {
      c.protocol = Protocol::sics;
    } else if (words[3] == "continuous") {
      c.protocol = Protocol::continuous;
    } else {
      return where + "the protocol must be nci, sics or continuous";
    }
    scales.push_back(std::move(c));
  }
  return scales;
}

bool declares_scale_page(std::span<const std::uint8_t> descriptor) {
  std::size_t i = 0;
  while (i < descriptor.size()) {
    const std::uint8_t prefix = descriptor[i];
    if (prefix == 0xFE) {  // a long item: size, tag, data
      if (i + 1 >= descriptor.size()) return false;
      i += 3 + descriptor[i + 1];
      continue;
    }
    const std::size_t size = (prefix & 0x03) == 3 ? 4 : (prefix & 0x03);
    if (i + size >= descriptor.size()) return false;
    if ((prefix & 0xFC) == 0x04 && size > 0) {  // Usage Page (global)
      std::uint32_t page = 0;
      for (std::size_t k = 0; k < size; ++k)
        page |= std::uint32_t{descriptor[i + 1 + k]} << (8 * k);
      if (page == 0x8D) return true;
    }
    i += 1 + size;
  }
  return false;
}

// What the thread holds; touched by the thread alone.
struct DeviceWorker::State {
  struct Hid {
    ScaleInfo info;
    std::filesystem::path node;
    int fd = -1;
    Clock::time_point retry_at{};
    bool denied_logged = false;
    std::optional<ScaleUpdate> last;
    Clock::time_point posted_at{};
    bool held = false;
  };
  struct Line {
    SerialScaleConfig config;
    ScaleInfo info;
    int fd = -1;
    std::string buffer;
    bool awaiting = false;
    bool zeroing = false;
    bool zero_pending = false;
    Clock::time_point sent_at{};
    Clock::time_point next_command{};
    Clock::time_point retry_at{};
    Clock::time_point last_data{};
    int bad_frames = 0;
    std::string last_bad;
    std::optional<ScaleUpdate> last;
    Clock::time_point posted_at{};
    bool held = false;
  };
  std::map<std::string, Hid> hid;  // by hidrawN
  std::vector<Line> lines;
  std::vector<ScaleInfo> announced;
  bool announced_once = false;
};

DeviceWorker::DeviceWorker(agent::Mailbox mailbox, DeviceSettings settings, bool enabled)
    : mailbox_(std::move(mailbox)), settings_(std::move(settings)), enabled_(enabled) {
  if (::pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::runtime_error("cannot make the scales worker's pipe: " + errno_text(errno));
  }
  thread_ = start_thread([this] { run(); });
}

DeviceWorker::~DeviceWorker() {
  stop_ = true;
  wake();
  if (thread_.joinable()) thread_.join();
  ::close(wake_pipe_[0]);
  ::close(wake_pipe_[1]);
}

void DeviceWorker::wake() {
  const char byte = 1;
  [[maybe_unused]] auto n = ::write(wake_pipe_[1], &byte, 1);
}

void DeviceWorker::set_enabled(bool enabled) {
  {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
  }
  wake();
}

void DeviceWorker::zero(const std::string& id) {
  {
    std::lock_guard lock(mutex_);
    zeros_.push_back(id);
  }
  wake();
}

namespace {

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Opens and sets up a serial line; the error's text otherwise.
std::variant<int, std::string> open_line(const SerialScaleConfig& c) {
  const int fd = ::open(c.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "cannot open the line: " + errno_text(errno);
  termios t{};
  if (!::isatty(fd) || ::tcgetattr(fd, &t) != 0) {
    ::close(fd);
    return std::string("not a serial line");
  }
  ::cfmakeraw(&t);
  const speed_t speed = *baud_constant(c.baud);
  ::cfsetispeed(&t, speed);
  ::cfsetospeed(&t, speed);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag |= c.data_bits == 5 ? CS5 : c.data_bits == 6 ? CS6 : c.data_bits == 7 ? CS7 : CS8;
  if (c.parity != 'N') t.c_cflag |= PARENB;
  if (c.parity == 'O') t.c_cflag |= PARODD;
  if (c.stop_bits == 2) t.c_cflag |= CSTOPB;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) {
    const int error = errno;
    ::close(fd);
    return "cannot set the line up: " + errno_text(error);
  }
  ::tcflush(fd, TCIOFLUSH);
  return fd;
}

std::string_view command_for(Protocol protocol, bool zero) {
  if (protocol == Protocol::nci) return zero ? "Z\r" : "W\r";
  return zero ? "Z\r\n" : "SI\r\n";
}

}  // namespace

void DeviceWorker::run() {
  ::pthread_setname_np(::pthread_self(), "qp-scales");
  auto logger = logs::logger("scales");
  State state;
  for (const auto& c : settings_.serial) {
    State::Line line;
    line.config = c;
    line.info.id = "serial:" + printing::clean_text(c.path, 256);
    line.info.name = printing::clean_text(c.path, 256);
    line.info.kind = "serial";
    line.info.device = c.path;
    line.info.zero = c.protocol != Protocol::continuous;
    line.info.stable_flag = c.protocol != Protocol::continuous;
    state.lines.push_back(std::move(line));
  }
  // A device's news goes to the agent at once, unless news of it went less
  // than `post_interval` ago: then the latest is held and goes when that
  // time is over (the agent sends at most 10 readings a second a scale; a
  // scale reporting 50 times a second wakes it 10 times, not 50).
  auto post_update = [this](auto& device, ScaleUpdate update) {
    if (device.last && *device.last == update) return;
    device.last = update;
    const auto now = Clock::now();
    if (now - device.posted_at < settings_.timings.post_interval) {
      device.held = true;
      return;
    }
    device.posted_at = now;
    device.held = false;
    mailbox_.send(SCALE_UPDATE, std::move(update));
  };
  auto post_held = [&](auto& device, Clock::time_point now, Clock::time_point& wake_at) {
    if (!device.held || !device.last) return;
    if (now - device.posted_at >= settings_.timings.post_interval) {
      device.posted_at = now;
      device.held = false;
      mailbox_.send(SCALE_UPDATE, *device.last);
    } else {
      wake_at = std::min(wake_at, device.posted_at + settings_.timings.post_interval);
    }
  };
  auto fault = [&](auto& device, const std::string& reason) {
    post_update(device, ScaleUpdate{device.info.id, std::nullopt, reason});
  };
  Clock::time_point next_discovery{};
  bool was_enabled = false;
  // Nodes appear in and leave <root>/dev when HID devices are plugged and
  // unplugged (sysfs itself tells inotify nothing): watched, the list is
  // looked for again at once, and a disabled worker sleeps until then.
  // Without the watch it looks every `discovery`.
  const int dev_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  const bool watching_dev =
      dev_watch >= 0 &&
      ::inotify_add_watch(dev_watch, (settings_.root / "dev").c_str(),
                          IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR) >= 0;

  std::vector<pollfd> fds;
  std::vector<std::function<void(short)>> handlers{[this](short) {
    char drain[64];
    while (::read(wake_pipe_[0], drain, sizeof drain) > 0) {
    }
  }};
  while (!stop_) {
    const auto now = Clock::now();
    bool enabled;
    std::vector<std::string> zeros;
    {
      std::lock_guard lock(mutex_);
      enabled = enabled_;
      zeros.swap(zeros_);
    }
    if (!enabled && was_enabled) {
      for (auto& [name, hid] : state.hid) {
        close_fd(hid.fd);
        hid.last.reset();
        hid.held = false;
      }
      for (auto& line : state.lines) {
        close_fd(line.fd);
        line.last.reset();
        line.held = false;
        line.buffer.clear();
        line.awaiting = false;
      }
    }
    if (enabled && !was_enabled) {
      for (auto& line : state.lines) line.retry_at = now;
      for (auto& [name, hid] : state.hid) hid.retry_at = now;
    }
    was_enabled = enabled;
    for (const auto& id : zeros) {
      auto it = std::find_if(state.lines.begin(), state.lines.end(),
                             [&](const State::Line& l) { return l.info.id == id; });
      if (!enabled || it == state.lines.end() || !it->info.zero || it->fd < 0) {
        mailbox_.send(SCALE_ZEROED, ScaleZeroed{id, !enabled ? "scales are disabled"
                                                    : it == state.lines.end() || !it->info.zero
                                                        ? "the scale takes no zero command"
                                                        : "the scale is not connected"});
      } else {
        it->zero_pending = true;
      }
    }

    // HID scales: the directory tree, every `discovery`.
    if (now >= next_discovery) {
      next_discovery = now + settings_.timings.discovery;
      const auto dir = settings_.root / "sys/class/hidraw";
      std::map<std::string, State::Hid> found;
      std::error_code ec;
      for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("hidraw", 0) != 0 || found.size() >= kMaxHidScales) continue;
        // A device counts while both its sysfs entry and its node are there:
        // the kernel makes the node after the entry and removes it first.
        if (!std::filesystem::exists(settings_.root / "dev" / name, ec)) continue;
        if (auto it = state.hid.find(name); it != state.hid.end()) {
          // Still there: kept as it is (its descriptor does not change).
          if (std::filesystem::exists(entry.path() / "device", ec)) {
            found.emplace(name, std::move(it->second));
            state.hid.erase(it);
          }
          continue;
        }
        const auto descriptor = read_small(entry.path() / "device/report_descriptor");
        if (!descriptor ||
            !declares_scale_page(std::span(
                reinterpret_cast<const std::uint8_t*>(descriptor->data()), descriptor->size()))) {
          continue;
        }
        State::Hid hid;
        std::string vendor = "0000", product = "0000", hid_name, uniq, phys;
        if (const auto uevent = read_small(entry.path() / "device/uevent")) {
          std::string_view rest = *uevent;
          while (!rest.empty()) {
            const auto nl = rest.find('\n');
            const std::string_view line = rest.substr(0, nl);
            rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
            const auto eq = line.find('=');
            if (eq == std::string_view::npos) continue;
            const auto key = line.substr(0, eq);
            const auto value = line.substr(eq + 1);
            if (key == "HID_ID") {
              const auto c1 = value.find(':');
              const auto c2 = value.find(':', c1 == std::string_view::npos ? 0 : c1 + 1);
              if (c1 != std::string_view::npos && c2 != std::string_view::npos) {
                vendor = id_part(lower_hex4(value.substr(c1 + 1, c2 - c1 - 1)));
                product = id_part(lower_hex4(value.substr(c2 + 1)));
              }
            } else if (key == "HID_NAME") {
              hid_name = printing::clean_text(value, 128);
            } else if (key == "HID_UNIQ") {
              uniq = id_part(value);
            } else if (key == "HID_PHYS") {
              phys = id_part(value);
            }
          }
        }
        hid.info.id = "hid:" + vendor + ":" + product + ":" + (uniq.empty() ? phys : uniq);
        hid.info.name = hid_name.empty() ? name : hid_name;
        const auto space = hid_name.find(' ');
        hid.info.maker = hid_name.substr(0, space);
        hid.info.model = space == std::string::npos ? "" : hid_name.substr(space + 1);
        hid.info.kind = "hid";
        hid.node = settings_.root / "dev" / name;
        hid.info.device = hid.node.string();
        hid.info.zero = false;
        hid.info.stable_flag = true;
        found.emplace(name, std::move(hid));
      }
      for (auto& [name, gone] : state.hid) close_fd(gone.fd);
      state.hid = std::move(found);
      // Two devices with one id (the same model with no serial number, no
      // port known) are told apart by their order.
      std::map<std::string, int> seen;
      for (auto& [name, hid] : state.hid) {
        if (const int n = seen[hid.info.id]++; n > 0) hid.info.id += "#" + std::to_string(n + 1);
      }
      std::vector<ScaleInfo> list;
      for (const auto& line : state.lines) list.push_back(line.info);
      for (const auto& [name, hid] : state.hid) list.push_back(hid.info);
      if (!state.announced_once || list != state.announced) {
        state.announced_once = true;
        state.announced = list;
        mailbox_.send(SCALES_FOUND, std::move(list));
      }
    }

    // The two lists keep their storage from one wake to the next: a scale
    // reporting 50 times a second wakes this loop as often, and each wake
    // should cost one poll and one read, not two new lists.
    fds.assign(1, {wake_pipe_[0], POLLIN, 0});
    handlers.resize(1);
    if (watching_dev) {
      fds.push_back({dev_watch, POLLIN, 0});
      handlers.push_back([&](short) {
        alignas(inotify_event) char events[4096];
        bool hidraw = false;
        for (ssize_t n; (n = ::read(dev_watch, events, sizeof events)) > 0;) {
          for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if ((event->mask & IN_Q_OVERFLOW) ||
                (event->len > 0 && std::strncmp(event->name, "hidraw", 6) == 0)) {
              hidraw = true;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
          }
        }
        if (hidraw) next_discovery = Clock::now();
      });
    }
    if (enabled) {
      for (auto& [name, hid_ref] : state.hid) {
        State::Hid& hid = hid_ref;
        if (hid.fd < 0 && now >= hid.retry_at) {
          hid.fd = ::open(hid.node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
          if (hid.fd < 0) {
            const int error = errno;
            hid.retry_at = now + settings_.timings.reopen;
            if ((error == EACCES || error == EPERM) && !hid.denied_logged) {
              hid.denied_logged = true;
              logger.error(
                  "The scale %s (%s) may not be read by this process: the udev rule %s lets "
                  "the quillpost user and the desktop user at the seat read HID scales",
                  escape_control(hid.info.name), escape_control(hid.node.string()),
                  std::string(kUdevRule));
            }
            fault(hid, "cannot open the device: " + errno_text(error));
          }
        }
        if (hid.fd < 0) continue;
        fds.push_back({hid.fd, POLLIN, 0});
        handlers.push_back([&hid, &post_update, &fault, this](short revents) {
          // A hidraw node gives one report a read. A node of a test tree (a
          // FIFO) gives what was written, as much as fits: a buffer of a
          // multiple of 30 bytes, filled, ends with a whole report of 5 or 6.
          std::uint8_t buffer[510];
          const ssize_t n = ::read(hid.fd, buffer, sizeof buffer);
          if (n > 0) {
            const std::size_t size = static_cast<std::size_t>(n);
            const std::size_t step = size % 6 == 0 ? 6 : size % 5 == 0 ? 5 : size;
            for (std::size_t at = 0; at + step <= size; at += step) {
              auto reading = parse_hid_report(std::span(buffer + at, step));
              if (!reading) {
                fault(hid, "a report of " + std::to_string(step) + " bytes that is not a scale's");
              } else {
                post_update(hid, ScaleUpdate{hid.info.id, reading, {}});
              }
            }
            return;
          }
          if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
          // The end of a FIFO's writer, or the device gone (ENODEV): open it again.
          const int error = n < 0 ? errno : 0;
          close_fd(hid.fd);
          hid.retry_at = Clock::now() + (error ? settings_.timings.reopen : kReopenAfterEnd);
          if (error) fault(hid, "the device went away: " + errno_text(error));
          (void)revents;
        });
      }
      for (auto& line : state.lines) {
        if (line.fd < 0 && now >= line.retry_at) {
          auto opened = open_line(line.config);
          if (auto* error = std::get_if<std::string>(&opened)) {
            line.retry_at = now + settings_.timings.reopen;
            fault(line, *error);
          } else {
            line.fd = std::get<int>(opened);
            line.awaiting = false;
            line.buffer.clear();
            line.bad_frames = 0;
            line.last_data = now;
            line.next_command = now;
          }
        }
        if (line.fd < 0) continue;
        const bool commands = line.config.protocol != Protocol::continuous;
        if (commands && line.awaiting && now - line.sent_at > settings_.timings.answer_timeout) {
          fault(line, "no answer within " +
                          std::to_string(settings_.timings.answer_timeout.count()) + " ms");
          line.awaiting = false;
          line.zeroing = false;
          line.buffer.clear();
          line.next_command = now;
        }
        if (!commands && now - line.last_data > settings_.timings.silence) {
          fault(line,
                "no reading for " + std::to_string(settings_.timings.silence.count()) + " ms");
          line.last_data = now;
        }
        if (commands && !line.awaiting && now >= line.next_command) {
          line.zeroing = line.zero_pending;
          line.zero_pending = false;
          const auto command = command_for(line.config.protocol, line.zeroing);
          if (::write(line.fd, command.data(), command.size()) ==
              static_cast<ssize_t>(command.size())) {
            line.awaiting = true;
            line.sent_at = now;
          } else if (errno != EAGAIN) {
            const int error = errno;
            close_fd(line.fd);
            line.retry_at = now + settings_.timings.reopen;
            fault(line, "the line went away: " + errno_text(error));
            continue;
          }
        }
        fds.push_back({line.fd, POLLIN, 0});
        handlers.push_back([&line, &post_update, &fault, this](short) {
          char buffer[512];
          const ssize_t n = ::read(line.fd, buffer, sizeof buffer);
          const auto at = Clock::now();
          if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
            const std::string why = n == 0 ? "end of data" : errno_text(errno);
            close_fd(line.fd);
            line.retry_at = at + settings_.timings.reopen;
            if (line.zeroing)
              mailbox_.send(SCALE_ZEROED, ScaleZeroed{line.info.id, "the line went away"});
            line.zeroing = false;
            fault(line, "the line went away: " + why);
            return;
          }
          line.buffer.append(buffer, static_cast<std::size_t>(n));
          const char end = line.config.protocol == Protocol::nci ? '\x03' : '\n';
          for (;;) {
            std::size_t stop = line.buffer.find(end);
            if (line.config.protocol == Protocol::continuous && stop == std::string::npos) {
              stop = line.buffer.find('\r');
            }
            if (stop == std::string::npos) {
              if (line.buffer.size() > kMaxLine) {
                line.last_bad = line.buffer.substr(0, 40);
                line.buffer.clear();
                if (++line.bad_frames >= kBadFramesToFault) {
                  fault(line, "the scale sends what is not its protocol: " +
                                  escape_control(line.last_bad));
                }
              }
              return;
            }
            std::string frame = line.buffer.substr(0, stop + (end == '\x03' ? 1 : 0));
            line.buffer.erase(0, stop + 1);
            if (frame.find_first_not_of("\r\n") == std::string::npos) continue;
            line.last_data = at;
            if (line.zeroing) {
              line.zeroing = false;
              line.awaiting = false;
              line.next_command = at + settings_.timings.command_interval;
              const bool ok = line.config.protocol == Protocol::nci
                                  ? frame.find('?') == std::string::npos
                                  : frame.rfind("Z A", 0) == 0;
              mailbox_.send(
                  SCALE_ZEROED,
                  ScaleZeroed{
                      line.info.id,
                      ok ? "" : "the scale refused: " + escape_control(frame.substr(0, 40))});
              continue;
            }
            SerialAnswer answer = line.config.protocol == Protocol::nci ? parse_nci(frame)
                                  : line.config.protocol == Protocol::sics
                                      ? parse_sics(frame)
                                      : parse_continuous(frame);
            line.awaiting = false;
            line.next_command = at + settings_.timings.command_interval;
            if (answer.reading) {
              line.bad_frames = 0;
              post_update(line, ScaleUpdate{line.info.id, answer.reading, {}});
            } else if (answer.recognised) {
              line.bad_frames = 0;
            } else if (++line.bad_frames >= kBadFramesToFault) {
              fault(line, "the scale sends what is not its protocol: " +
                              escape_control(frame.substr(0, 40)));
            }
          }
        });
      }
    }
    // Sleep until the next thing due: a look for HID scales (while enabled,
    // every `discovery`, for trees that only sysfs shows), a device to open
    // again, a serial command to send, an answer or a printed line overdue;
    // or until woken: a report, a change of /dev, of the enabled state, a
    // zero command. Disabled with /dev watched, nothing is due: it sleeps.
    auto wake_at = Clock::time_point::max();
    if (enabled || !watching_dev) wake_at = next_discovery;
    if (enabled) {
      const auto at = Clock::now();
      for (auto& [name, hid] : state.hid) post_held(hid, at, wake_at);
      for (auto& line : state.lines) post_held(line, at, wake_at);
      for (const auto& [name, hid] : state.hid) {
        if (hid.fd < 0) wake_at = std::min(wake_at, hid.retry_at);
      }
      for (const auto& line : state.lines) {
        if (line.fd < 0) {
          wake_at = std::min(wake_at, line.retry_at);
        } else if (line.config.protocol == Protocol::continuous) {
          wake_at = std::min(wake_at, line.last_data + settings_.timings.silence);
        } else {
          wake_at =
              std::min(wake_at, line.awaiting ? line.sent_at + settings_.timings.answer_timeout
                                              : line.next_command);
        }
      }
    }
    int timeout_ms = -1;
    if (wake_at != Clock::time_point::max()) {
      // At least 10 ms: a command the line would not take yet is tried again
      // then, not in a busy loop.
      const auto until = std::chrono::ceil<std::chrono::milliseconds>(wake_at - Clock::now());
      timeout_ms = static_cast<int>(std::clamp<std::int64_t>(until.count(), 10, 60000));
    }
    const int ready = ::poll(fds.data(), fds.size(), timeout_ms);
    if (ready <= 0) continue;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents) handlers[i](fds[i].revents);
    }
  }
  for (auto& [name, hid] : state.hid) close_fd(hid.fd);
  for (auto& line : state.lines) close_fd(line.fd);
  if (dev_watch >= 0) ::close(dev_watch);
}

}  // namespace quillpost::scales
