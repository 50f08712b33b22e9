// The frame check shared by every sending method, and the software receive filter.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "handle/op_error.hpp"
#include "stream/records.hpp"

namespace tavro {

// Validates a frame a caller passed and builds it (channel 0, timestamp 0). BadArgument texts, in check order.
inline Op<CanFrame> check_frame(uint32_t arb_id, bool is_ext, bool is_rtr, uint8_t dlc, std::span<const uint8_t> data) {
  if (dlc > 8) return OpError::bad_argument("DLC exceeds Classic CAN max of 8");
  if (is_rtr ? !data.empty() : data.size() != dlc)
    return OpError::bad_argument("Data length must match DLC (RTR data must be empty)");
  if (arb_id > (is_ext ? 0x1FFFFFFFu : 0x7FFu))
    return OpError::bad_argument("arbitration_id exceeds CAN identifier range");
  CanFrame f;
  f.id = arb_id;
  f.flags = static_cast<uint8_t>((is_ext ? FRAME_FLAG_EXTENDED : 0) | (is_rtr ? FRAME_FLAG_RTR : 0));
  f.dlc = dlc;
  for (size_t i = 0; i < data.size(); ++i) f.data[i] = data[i];
  return f;
}

struct FilterEntry {
  uint32_t pattern = 0;
  uint32_t mask = 0;
  bool invert = false;
};

// An empty list accepts everything; otherwise the first accepting entry wins.
inline bool filter_accepts(const std::vector<FilterEntry>& filters, const CanFrame& f) noexcept {
  if (filters.empty()) return true;
  uint32_t test = f.id;
  if (f.flags & FRAME_FLAG_EXTENDED) test |= 0x80000000u;
  if ((f.flags & FRAME_FLAG_RTR) || (f.id & 0x40000000u)) test |= 0x40000000u;
  if (f.flags & FRAME_FLAG_ERROR) test |= 0x20000000u;
  for (const FilterEntry& e : filters) {
    if (e.mask == 0) {
      if (!e.invert) return true;
      continue;
    }
    const bool match = ((test ^ e.pattern) & e.mask) == 0;
    if (match != e.invert) return true;
  }
  return false;
}

// Builds one entry from set_filters' (identifier, mask, extended) triple; false when out of range.
// extended: 0 standard only, 1 extended only, -1 either format.
inline bool make_filter_entry(uint32_t id, uint32_t mask, int extended, FilterEntry* out) noexcept {
  if (extended == 0) {
    if ((id | mask) >= 0x800u) return false;
    *out = {id, mask | 0x80000000u, false};
  } else if (extended == 1) {
    if ((id | mask) >= 0x20000000u) return false;
    *out = {id | 0x80000000u, mask | 0x80000000u, false};
  } else {
    *out = {id, mask, false};
  }
  return true;
}

}  // namespace tavro
