// The pure parts of the device side: the serial_scales setting and the
// search of a HID report descriptor for the Scale usage page.
#include "quillpost/host/runtime/scales/devices.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

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

}  // namespace
}  // namespace quillpost::scales
