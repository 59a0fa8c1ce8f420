// What a HID report descriptor says a device is, read from its top-level
// collections. Header-only and free of the project's other code: the scales'
// device worker and the udev probe (a program of its own, run for every
// hidraw device) share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillpost::scales {

inline constexpr std::uint32_t kScalePage = 0x8D;

struct HidCollections {
  // The items are well formed, every collection is closed and there is at
  // least one top-level collection.
  bool valid = false;
  bool scale = false;  // a top-level collection on the Scale page
  // A top-level collection on any other page that is not vendor-defined
  // (0xFF00 and up): a keyboard, a mouse, a consumer control... or a report
  // declared outside any collection.
  bool other = false;
};

// Walks the descriptor's items. A top-level collection's page is the page of
// its first usage (a 32-bit usage carries its own page), or the usage page in
// force when it has none.
constexpr HidCollections read_collections(std::span<const std::uint8_t> d) {
  HidCollections out;
  constexpr std::size_t kMaxPush = 16;
  std::uint32_t page = 0;
  std::uint32_t pushed[kMaxPush] = {};
  std::size_t depth_pushed = 0;
  bool has_usage = false;
  std::uint32_t first_usage_page = 0;
  std::size_t depth = 0;
  bool any = false;
  std::size_t i = 0;
  while (i < d.size()) {
    const std::uint8_t prefix = d[i];
    if (prefix == 0xFE) {  // a long item: size, tag, data; no long items are defined
      if (i + 2 >= d.size() || i + 3 + d[i + 1] > d.size()) return out;
      i += 3 + d[i + 1];
      continue;
    }
    const std::size_t size = (prefix & 0x03) == 3 ? 4 : (prefix & 0x03);
    if (i + 1 + size > d.size()) return out;  // cut short
    std::uint32_t data = 0;
    for (std::size_t k = 0; k < size; ++k) data |= std::uint32_t{d[i + 1 + k]} << (8 * k);
    const int type = (prefix >> 2) & 0x03;
    const int tag = prefix >> 4;
    i += 1 + size;
    if (type == 1) {  // global
      if (tag == 0x0) {
        page = data;
      } else if (tag == 0xA) {  // Push
        if (depth_pushed == kMaxPush) return out;
        pushed[depth_pushed++] = page;
      } else if (tag == 0xB) {  // Pop
        if (depth_pushed == 0) return out;
        page = pushed[--depth_pushed];
      }
    } else if (type == 2) {                            // local
      if ((tag == 0x0 || tag == 0x1) && !has_usage) {  // Usage, Usage Minimum
        has_usage = true;
        first_usage_page = size == 4 ? data >> 16 : page;
      }
    } else if (type == 0) {  // main
      if (tag == 0xA) {      // Collection
        if (depth == 0) {
          any = true;
          const std::uint32_t of = has_usage ? first_usage_page : page;
          if (of == kScalePage) {
            out.scale = true;
          } else if (of < 0xFF00) {
            out.other = true;
          }
        }
        ++depth;
      } else if (tag == 0xC) {  // End Collection
        if (depth == 0) return out;
        --depth;
      } else if (tag == 0x8 || tag == 0x9 || tag == 0xB) {  // Input, Output, Feature
        if (depth == 0) out.other = true;
      }
      has_usage = false;  // local items last until the next main item
    }
  }
  out.valid = depth == 0 && any;
  return out;
}

// A device that is a scale and nothing else: what the package's udev rule
// lets the service's group and the user at the seat read. A composite
// descriptor with a keyboard or a mouse beside the scale is not one: its
// node would hand out keystrokes too.
constexpr bool is_scale_only(std::span<const std::uint8_t> descriptor) {
  const HidCollections c = read_collections(descriptor);
  return c.valid && c.scale && !c.other;
}

}  // namespace quillpost::scales
