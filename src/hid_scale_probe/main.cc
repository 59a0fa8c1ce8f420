// hid-scale-probe SYSPATH: run by the package's udev rule
// (60-quillpost-scales.rules, IMPORT{program}) for every hidraw device, with
// the device's path in sysfs. Prints QUILLPOST_HID_SCALE=1 when the report
// descriptor of the device's HID parent (SYSPATH/device/report_descriptor)
// says it is a scale and nothing else, and nothing otherwise; the rule then
// gives the node to the service's group and the user at the seat.
//
// udev has no property for a HID usage page, and a glob over the descriptor's
// bytes cannot tell a page from the same byte inside another item: the items
// are read. Small and dependency-free: it runs on every hidraw event.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

#include "quillpost/host/runtime/scales/hid_descriptor.h"

namespace {

// The kernel's limit for a report descriptor (HID_MAX_DESCRIPTOR_SIZE).
constexpr std::size_t kMaxDescriptor = 4096;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] != '/') {
    std::fputs("usage: hid-scale-probe SYSPATH (the hidraw device's path in sysfs)\n", stderr);
    return 2;
  }
  char path[4096];
  const int length = std::snprintf(path, sizeof path, "%s/device/report_descriptor", argv[1]);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) {
    std::fputs("hid-scale-probe: the path is too long\n", stderr);
    return 2;
  }
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "hid-scale-probe: cannot open the report descriptor: %s\n",
                 std::strerror(errno));
    return 1;
  }
  std::uint8_t buffer[kMaxDescriptor + 1];
  std::size_t size = 0;
  while (size < sizeof buffer) {
    const ssize_t n = ::read(fd, buffer + size, sizeof buffer - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "hid-scale-probe: cannot read the report descriptor: %s\n",
                   std::strerror(errno));
      ::close(fd);
      return 1;
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  ::close(fd);
  // Longer than any descriptor the kernel keeps: not one to trust.
  if (size <= kMaxDescriptor &&
      quillpost::scales::is_scale_only(std::span<const std::uint8_t>(buffer, size))) {
    std::fputs("QUILLPOST_HID_SCALE=1\n", stdout);
  }
  return 0;
}
