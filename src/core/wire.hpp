// Little-endian fields of the adapter's control replies and bulk records: every multi-byte field on the wire is
// little-endian, whatever the host's byte order.
#pragma once

#include <array>
#include <cstdint>

namespace tavro::wire {

inline uint32_t get_u32(const uint8_t* p) noexcept {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t get_u64(const uint8_t* p) noexcept { return uint64_t(get_u32(p)) | uint64_t(get_u32(p + 4)) << 32; }
inline uint16_t get_u16(const uint8_t* p) noexcept { return uint16_t(p[0] | p[1] << 8); }
inline void put_u32(uint8_t* p, uint32_t v) noexcept {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline void put_u64(uint8_t* p, uint64_t v) noexcept {
  put_u32(p, uint32_t(v));
  put_u32(p + 4, uint32_t(v >> 32));
}
inline void put_u16(uint8_t* p, uint16_t v) noexcept {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
// A u32 as the 4-byte payload of a control request.
inline std::array<uint8_t, 4> u32_bytes(uint32_t v) noexcept {
  std::array<uint8_t, 4> b{};
  put_u32(b.data(), v);
  return b;
}

}  // namespace tavro::wire
