// A CAN frame's bits on the wire: its layout from SOF to the CRC sequence, the CRC-15 and the stuff bits.
#include "bus/frame.hpp"

#include <algorithm>

namespace tavro::sim {

namespace {

constexpr uint16_t kCrc15Poly = 0x4599;

inline uint16_t crc15_step(uint16_t crc, unsigned bit) noexcept {
  const unsigned feedback = (bit ^ (crc >> 14)) & 1u;
  crc = uint16_t((crc << 1) & 0x7FFF);
  return feedback ? uint16_t(crc ^ kCrc15Poly) : crc;
}

// SOF..end of CRC sequence of one frame, before stuffing. The longest is an extended frame with 8 data bytes:
// 1 + 11 + 1 + 1 + 18 + 1 + 2 + 4 + 64 + 15 = 118 bits.
struct FrameBits {
  std::array<uint8_t, 128> bit{};
  uint32_t n = 0;
  uint16_t crc = 0;

  void push(unsigned b) noexcept {
    crc = crc15_step(crc, b);
    bit[n++] = uint8_t(b);
  }
  void push_field(uint32_t value, int width) noexcept {
    for (int i = width - 1; i >= 0; --i) push((value >> i) & 1u);
  }
};

void lay_out(const BusFrame& f, FrameBits& b) noexcept {
  const unsigned rtr = f.remote ? 1u : 0u;
  b.push(0);  // SOF
  if (f.extended) {
    const uint32_t id = f.id & 0x1FFFFFFF;
    b.push_field(id >> 18, 11);
    b.push(1);  // SRR
    b.push(1);  // IDE
    b.push_field(id & 0x3FFFF, 18);
    b.push(rtr);
    b.push(0);  // r1
    b.push(0);  // r0
  } else {
    b.push_field(f.id & 0x7FF, 11);
    b.push(rtr);
    b.push(0);  // IDE
    b.push(0);  // r0
  }
  b.push_field(std::min<uint32_t>(f.dlc, 15), 4);
  if (!f.remote) {
    const unsigned bytes = std::min<unsigned>(f.dlc, 8);
    for (unsigned i = 0; i < bytes; ++i) b.push_field(f.data[i], 8);
  }
  const uint16_t crc = b.crc;
  for (int i = 14; i >= 0; --i) b.bit[b.n++] = uint8_t((crc >> i) & 1u);
}

// After five equal bits the sender inserts one of the opposite value, which starts the next run; this also
// applies after the last bit of the CRC sequence.
uint32_t count_stuff_bits(const FrameBits& b) noexcept {
  uint32_t stuffed = 0;
  uint32_t run = 0;
  unsigned last = 2;
  for (uint32_t i = 0; i < b.n; ++i) {
    const unsigned v = b.bit[i];
    if (v == last) {
      ++run;
    } else {
      last = v;
      run = 1;
    }
    if (run == 5) {
      ++stuffed;
      last ^= 1u;
      run = 1;
    }
  }
  return stuffed;
}

constexpr uint32_t kErrorFrameBits = 6 + 8 + 3;  // error flag, error delimiter, inter-frame space
// CRC delimiter, ACK slot, ACK delimiter, EOF, inter-frame space.
constexpr uint32_t kTrailerBits = 1 + 1 + 1 + 7 + 3;

}  // namespace

uint16_t can_crc15(const uint8_t* bytes, size_t bit_count) noexcept {
  uint16_t crc = 0;
  for (size_t i = 0; i < bit_count; ++i) crc = crc15_step(crc, (bytes[i / 8] >> (7 - i % 8)) & 1u);
  return crc;
}

uint32_t frame_stuff_bit_count(const BusFrame& frame) noexcept {
  if (frame.error) return 0;
  FrameBits b;
  lay_out(frame, b);
  return count_stuff_bits(b);
}

uint32_t frame_bit_count(const BusFrame& frame) noexcept {
  if (frame.error) return kErrorFrameBits;
  FrameBits b;
  lay_out(frame, b);
  return b.n + count_stuff_bits(b) + kTrailerBits;
}

}  // namespace tavro::sim
