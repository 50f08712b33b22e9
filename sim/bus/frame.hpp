// A CAN frame as the simulated bus carries it, and what it costs on the wire: its bit count with the stuff bits
// that its actual bit sequence needs, and the CRC-15 those bits end with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tavro::sim {

struct BusFrame {
  uint32_t id = 0;  // 11 or 29 bits
  bool extended = false;
  bool remote = false;
  bool error = false;  // an error frame as seen by the nodes (injected), SocketCAN class bits in id
  uint8_t dlc = 0;
  std::array<uint8_t, 8> data{};
};

// SocketCAN error-frame conventions used by injected error frames (class bits in id, details in data).
inline constexpr uint32_t kCanErrCrtl = 0x004;    // controller problem, details in data[1]
inline constexpr uint32_t kCanErrProt = 0x008;    // protocol violation, details in data[2] and data[3]
inline constexpr uint32_t kCanErrBusOff = 0x040;  // controller went bus-off
inline constexpr uint32_t kCanErrCnt = 0x200;     // data[6] holds TEC, data[7] REC
inline constexpr uint8_t kCanErrCrtlRxWarning = 0x04;
inline constexpr uint8_t kCanErrCrtlTxWarning = 0x08;
inline constexpr uint8_t kCanErrCrtlRxPassive = 0x10;
inline constexpr uint8_t kCanErrCrtlTxPassive = 0x20;

// Bits a frame occupies on the wire: SOF, arbitration, control, data (none for remote frames; dlc above 8 sends
// 8 bytes), CRC with the stuff bits that this frame's actual bit sequence needs, CRC delimiter, ACK slot and
// delimiter, EOF and 3 bits of inter-frame space. An error frame counts as error flag, error delimiter and
// inter-frame space (6 + 8 + 3).
uint32_t frame_bit_count(const BusFrame& frame) noexcept;
// The stuff bits inserted between SOF and the end of the CRC sequence of this frame (0 for error frames).
uint32_t frame_stuff_bit_count(const BusFrame& frame) noexcept;
// CAN's CRC-15 (polynomial 0x4599, initial value 0) over `bit_count` bits of `bytes`, most significant bit first.
uint16_t can_crc15(const uint8_t* bytes, size_t bit_count) noexcept;

}  // namespace tavro::sim
