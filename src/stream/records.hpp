// Bulk stream records: the in-memory CanFrame and the 24-byte RxRecord / 16-byte TxRecord wire codecs.
// Hot path: header-only, no allocation, decoded in place from the transfer buffer.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "core/protocol.hpp"
#include "core/wire.hpp"

namespace tavro {

inline constexpr uint8_t FRAME_FLAG_RTR = 0x02;
inline constexpr uint8_t FRAME_FLAG_EXTENDED = 0x04;
inline constexpr uint8_t FRAME_FLAG_ERROR = 0x08;
// Host-only: a frame this adapter sent, queued for the receivers once the adapter confirmed it.
inline constexpr uint8_t FRAME_FLAG_OWN = 0x80;

struct CanFrame {
  uint8_t channel = 0;
  uint8_t flags = 0;
  uint8_t dlc = 0;
  uint8_t reserved = 0;
  uint32_t id = 0;  // without flag bits
  std::array<uint8_t, 8> data{};
  uint64_t timestamp = 0;  // adapter timestamp of received frames, unconverted
};

// Decodes one 24-byte RxRecord.
// The frame flags of an RxRecord: its flag byte with the identifier word's format bits.
inline uint8_t rx_record_flags(const uint8_t* rec, uint32_t id_word) noexcept {
  uint8_t flags = rec[2] & ~FRAME_FLAG_OWN;  // the host-only bit never comes from the wire
  if (id_word & protocol::kIdExtended) flags |= FRAME_FLAG_EXTENDED;
  if (id_word & protocol::kIdRemote) flags |= FRAME_FLAG_RTR;
  if (id_word & protocol::kIdError) flags |= FRAME_FLAG_ERROR;
  return flags;
}

inline CanFrame decode_rx_record(const uint8_t* rec) noexcept {
  CanFrame f;
  f.channel = rec[0];
  const uint32_t id_word = wire::get_u32(rec + 4);
  const uint8_t flags = rx_record_flags(rec, id_word);
  f.flags = flags;
  f.id = (flags & FRAME_FLAG_EXTENDED) ? (id_word & 0x1FFFFFFFu) : (id_word & 0x7FFu);
  f.dlc = rec[1] > 8 ? 8 : rec[1];
  std::memcpy(f.data.data(), rec + 8, 8);
  f.timestamp = wire::get_u64(rec + 16);
  return f;
}

// Encodes a (validated) frame into a 16-byte TxRecord. tx_id is the confirmed transmission id, or the frame's
// reserved byte for an unconfirmed transmission.
inline void encode_tx_record(const CanFrame& f, uint8_t tx_id, uint8_t* out) noexcept {
  out[0] = f.channel;
  out[1] = f.dlc;
  out[2] = f.flags;
  out[3] = tx_id;
  wire::put_u32(out + 4, f.id | (uint32_t(f.flags & 0x06) << 29));
  std::memcpy(out + 8, f.data.data(), 8);
}

// Error-frame conditions used by the receive counters.
inline bool is_bus_off_error(const CanFrame& f) noexcept { return (f.flags & FRAME_FLAG_ERROR) && (f.id & 0x40); }
inline bool is_controller_warning(const CanFrame& f) noexcept {
  return (f.flags & FRAME_FLAG_ERROR) && f.dlc >= 2 && (f.id & 0x04) && (f.data[1] & 0x0C);
}

}  // namespace tavro
