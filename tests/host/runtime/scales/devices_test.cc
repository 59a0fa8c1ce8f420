// The pure parts of the device side: the serial_scales setting, the search
// of a HID report descriptor for the Scale usage page, and the udev probe's
// decision that a device is a scale and nothing else.
#include "quillpost/host/runtime/scales/devices.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "quillpost/host/runtime/scales/hid_descriptor.h"

namespace quillpost::scales {
namespace {

TEST(SerialScalesSetting, Parses) {
  auto parsed = parse_serial_scales(" /dev/ttyUSB0 9600 8N1 nci ;/dev/ttyACM0 2400  7E2 sics;");
  ASSERT_TRUE(std::holds_alternative<std::vector<SerialScaleConfig>>(parsed));
  const auto& list = std::get<std::vector<SerialScaleConfig>>(parsed);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0], (SerialScaleConfig{"/dev/ttyUSB0", 9600, 8, 'N', 1, Protocol::nci}));
  EXPECT_EQ(list[1], (SerialScaleConfig{"/dev/ttyACM0", 2400, 7, 'E', 2, Protocol::sics}));
  EXPECT_TRUE(std::get<std::vector<SerialScaleConfig>>(parse_serial_scales("")).empty());
}

TEST(SerialScalesSetting, RefusesWithTheEntry) {
  for (const char* text :
       {"/dev/ttyUSB0 9600 8N1", "ttyUSB0 9600 8N1 nci", "/dev/ttyUSB0 9601 8N1 nci",
        "/dev/ttyUSB0 9600 9N1 nci", "/dev/ttyUSB0 9600 8X1 nci", "/dev/ttyUSB0 9600 8N3 nci",
        "/dev/a 9600 8N1 nci; /dev/b 9600 8N1 modbus"}) {
    auto parsed = parse_serial_scales(text);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << text;
    EXPECT_NE(std::get<std::string>(parsed).find("serial_scales entry"), std::string::npos);
  }
}

TEST(HidDescriptor, FindsTheScalePage) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    bool scale;
  };
  const std::vector<Case> cases = {
      {{0x05, 0x8D, 0x09, 0x01, 0xA1, 0x01, 0xC0}, true},
      {{0x06, 0x8D, 0x00, 0x09, 0x01}, true},                          // two-byte page
      {{0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x8D, 0xC0}, true},  // a later collection
      {{0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0xC0}, false},             // a mouse
      {{0x09, 0x8D, 0x05, 0x01}, false},        // 0x8D as a usage, not a page
      {{0x26, 0x05, 0x8D}, false},              // 0x8D inside another item's data
      {{0xFE, 0x02, 0x00, 0x05, 0x8D}, false},  // inside a long item
      {{0x05}, false},
      {{}, false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(declares_scale_page(cases[i].bytes), cases[i].scale) << "case " << i;
  }
}

std::vector<std::uint8_t> hex(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::uint8_t> bytes;
  for (unsigned value; in >> std::hex >> value;) bytes.push_back(static_cast<std::uint8_t>(value));
  return bytes;
}

// Descriptors as devices report them: a scale laid out as the point-of-sale
// usage tables describe (attribute feature report 1, data report 3, control
// report 2), the standard HID boot keyboard and boot mouse, and
// devices that put more than one function behind one node.
TEST(HidDescriptor, ScaleOnlyForTheUdevRule) {
  const std::string scale =
      "05 8D 09 01 A1 01 85 01 09 30 A1 02 09 21 15 00 25 0B 75 08 95 01 B1 02 C0 85 03 09 32 "
      "A1 02 09 70 15 01 25 08 81 02 09 50 15 01 25 0C 81 02 09 41 15 80 25 7F 81 02 09 40 15 00 "
      "27 FF FF 00 00 75 10 81 02 C0 85 02 09 31 A1 02 09 80 15 00 25 01 75 01 91 02 75 07 91 03 "
      "C0 C0";
  const std::string keyboard =
      "05 01 09 06 A1 01 05 07 19 E0 29 E7 15 00 25 01 75 01 95 08 81 02 95 01 75 08 81 01 95 05 "
      "75 01 05 08 19 01 29 05 91 02 95 01 75 03 91 01 95 06 75 08 15 00 25 65 05 07 19 00 29 65 "
      "81 00 C0";
  const std::string mouse =
      "05 01 09 02 A1 01 09 01 A1 00 05 09 19 01 29 03 15 00 25 01 95 03 75 01 81 02 95 01 75 05 "
      "81 01 05 01 09 30 09 31 15 81 25 7F 75 08 95 02 81 06 C0 C0";
  const std::string vendor = "06 00 FF 09 01 A1 01 85 05 09 02 75 08 95 3F B1 02 C0";
  struct Case {
    const char* what;
    std::string descriptor;
    bool scale_only;
  };
  const std::vector<Case> cases = {
      {"scale", scale, true},
      {"scale with a vendor-defined collection", scale + " " + vendor, true},
      {"scale collection named by a 32-bit usage", "05 01 0B 01 00 8D 00 A1 01 C0", true},
      {"keyboard", keyboard, false},
      {"mouse", mouse, false},
      {"vendor-defined only", vendor, false},
      {"keyboard and scale", keyboard + " " + scale, false},
      {"scale and consumer control", scale + " 05 0C 09 01 A1 01 09 E9 81 02 C0", false},
      {"keyboard whose usages hold 0x8D", "05 01 09 06 A1 01 05 07 09 8D 81 02 C0", false},
      {"scale page restored by Pop before a keyboard",
       "05 01 A4 05 8D 09 01 A1 01 C0 B4 09 06 A1 01 C0", false},
      {"a report outside any collection", "05 8D 09 01 A1 01 C0 81 02", false},
      {"scale cut short", scale.substr(0, 30), false},
      {"an unclosed collection", "05 8D 09 01 A1 01", false},
      {"an End Collection too many", "05 8D 09 01 A1 01 C0 C0", false},
      {"Pop without Push", "B4 05 8D 09 01 A1 01 C0", false},
      {"empty", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_scale_only(hex(c.descriptor)), c.scale_only) << c.what;
  }
}

}  // namespace
}  // namespace quillpost::scales
