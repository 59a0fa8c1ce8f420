// The scales' devices, read on a thread of their own: HID scales found under
// a device root laid out as the system's (`<root>/sys/class/hidraw/hidrawN`
// with the report descriptor and uevent under `device/`, and the node
// `<root>/dev/hidrawN`), and serial scales named in the configuration.
//
// The root is "/" in use; tests point it at a directory they make, with a
// FIFO or a regular file as the node they write reports to (the one seam of
// this module). Reports read from such a node in one piece are split into
// reports of 6 bytes (or of 5 when 6 does not divide them).
//
// The worker posts to the agent's mailbox: SCALES_FOUND (the list, whenever
// it changes), SCALE_UPDATE (a reading or a fault, whenever it changes; at
// most one a device every `post_interval`, then the latest) and
// SCALE_ZEROED. It reads devices only while enabled. The HID list (a device
// counts while both its sysfs entry and its node exist) is looked for when a
// node appears in or leaves <root>/dev (inotify), and while enabled also
// every `discovery`, for changes only sysfs shows. Between reports it sleeps
// until the next thing due (a serial command, an overdue answer, a retry); a
// disabled worker whose /dev is watched sleeps until woken.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/runtime/scales/reading.h"

namespace quillpost::scales {

inline constexpr std::string_view SCALES_FOUND = "scales_found";
inline constexpr std::string_view SCALE_UPDATE = "scale_update";
inline constexpr std::string_view SCALE_ZEROED = "scale_zeroed";

enum class Protocol { nci, sics, continuous };

struct SerialScaleConfig {
  std::string path;
  int baud = 9600;
  int data_bits = 8;
  char parity = 'N';  // N, E or O
  int stop_bits = 1;
  Protocol protocol = Protocol::nci;
  bool operator==(const SerialScaleConfig&) const = default;
};

// The configuration's `serial_scales`: entries "PATH BAUD FRAMING PROTOCOL"
// separated by ";" ("/dev/ttyUSB0 9600 8N1 nci; /dev/ttyACM0 9600 7E1 sics"),
// protocol nci, sics or continuous. Otherwise the text of what is wrong.
std::variant<std::vector<SerialScaleConfig>, std::string> parse_serial_scales(
    std::string_view text);

// Whether a HID report descriptor declares the Scale usage page (0x8D).
bool declares_scale_page(std::span<const std::uint8_t> descriptor);

struct ScaleInfo {
  std::string id;  // stable across replugging: the same device on the same port
  std::string name;
  std::string maker;
  std::string model;
  std::string kind;  // "hid" or "serial"
  std::string device;
  bool zero = false;        // takes a zero command
  bool stable_flag = true;  // says itself whether a weight is stable
  bool operator==(const ScaleInfo&) const = default;
};

// A scale's news: a reading, or a fault with its reason.
struct ScaleUpdate {
  std::string id;
  std::optional<Reading> reading;
  std::string fault;
  bool operator==(const ScaleUpdate&) const = default;
};

struct ScaleZeroed {
  std::string id;
  std::string error;  // empty: done
};

struct DeviceTimings {
  using Duration = std::chrono::milliseconds;
  Duration discovery{1000};        // between looks for HID scales
  Duration command_interval{100};  // between a command scale's answer and the next command
  Duration answer_timeout{1000};   // a command scale that says nothing for this long is in fault
  Duration silence{3000};  // a continuous scale that prints nothing for this long is in fault
  Duration reopen{2000};   // between tries to open a line or node that failed
  // Between two updates of one device to the agent. A little over the
  // agent's own 100 ms between two readings of a scale: at exactly 100 ms the
  // hand-over's jitter made a third of the updates come a fraction early, and
  // each of those cost the agent a timer and a second wake.
  Duration post_interval{105};
};

struct DeviceSettings {
  std::filesystem::path root = "/";
  std::vector<SerialScaleConfig> serial;
  DeviceTimings timings;
};

class DeviceWorker {
 public:
  DeviceWorker(agent::Mailbox mailbox, DeviceSettings settings, bool enabled);
  // Stops the thread and closes the devices.
  ~DeviceWorker();
  DeviceWorker(const DeviceWorker&) = delete;
  DeviceWorker& operator=(const DeviceWorker&) = delete;

  void set_enabled(bool enabled);
  // Zeroes a scale that takes the command; answered with SCALE_ZEROED.
  void zero(const std::string& id);

 private:
  struct State;
  void run();
  void wake();

  agent::Mailbox mailbox_;
  DeviceSettings settings_;
  std::mutex mutex_;
  bool enabled_;
  std::vector<std::string> zeros_;
  std::atomic<bool> stop_{false};
  int wake_pipe_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace quillpost::scales
