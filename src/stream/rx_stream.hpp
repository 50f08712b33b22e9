// Cutting the receive endpoint's byte stream into 24-byte records, and getting back in step after garbage.
//
//   s = RxRecordStream()
//   s.feed(transfer_bytes, ended_short, on_record)  # on_record(rec) for every plausible record, in order
//   s.take_losses() -> RxLosses                      # what was dropped since the last call (for log and counters)
//
// The adapter ends a transfer short only between records; a full transfer may end inside one. Hence:
// - A short transfer ends every record in it: nothing is carried past it, and its records are counted back from
//   its end. Bytes in front of the first whole record (a fragment, or a carry that does not add up) are dropped.
// - Inside a short transfer the boundaries are certain, so an implausible record is dropped on its own.
// - Inside a full transfer an implausible record may mean the boundaries are wrong, and a wrong guess would turn
//   every later frame into garbage. The rest of the transfer is dropped, and so is every following full transfer,
//   until a short transfer shows where records start again.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "core/protocol.hpp"
#include "stream/records.hpp"

namespace tavro {

// What an RxRecord can look like: channel 0 (single-channel adapters), reserved byte 0, dlc 0..15 (a classic frame
// with a length code above 8 is legal on the wire and carries 8 bytes; 16 and more cannot occur), no error frame
// that is also remote or extended, and a standard identifier word whose unused bits are clear. Other adapter flag
// bits are the adapter's business and pass.
inline bool rx_record_plausible(const uint8_t* rec) noexcept {
  if (rec[0] != 0 || rec[3] != 0 || rec[1] > 15) return false;
  const uint32_t id_word = wire::get_u32(rec + 4);
  const uint8_t flags = rx_record_flags(rec, id_word);  // not a whole decode: the worker decodes what passes
  if (flags & FRAME_FLAG_ERROR) return (flags & (FRAME_FLAG_RTR | FRAME_FLAG_EXTENDED)) == 0;
  return (flags & FRAME_FLAG_EXTENDED) || (id_word & 0x1FFFF800u) == 0;
}

struct RxLosses {
  uint64_t records = 0;  // records dropped: implausible ones, fragments, skipped spans (rounded up)
  uint64_t bytes = 0;
};

class RxRecordStream {
 public:
  static constexpr size_t kRecord = protocol::kRxRecordSize;

  template <typename Handler>
  void feed(std::span<const uint8_t> chunk, bool ended_short, Handler&& handler) {
    const uint8_t* p = chunk.data();
    size_t n = chunk.size();
    if (out_of_step_ && !ended_short) {
      lose(n);
      return;
    }
    if (ended_short && (carry_len_ + n) % kRecord != 0) {
      // Counted back from the end, the first record starts `lead` bytes in; whatever came before is a fragment.
      const size_t lead = n % kRecord;
      lose(carry_len_ + lead);
      carry_len_ = 0;
      p += lead;
      n -= lead;
    }
    out_of_step_ = false;

    if (carry_len_ > 0) {
      const size_t need = kRecord - carry_len_;
      if (n < need) {  // a full transfer shorter than a record: only a fake USB stack does that
        std::memcpy(carry_ + carry_len_, p, n);
        carry_len_ += n;
        return;
      }
      std::memcpy(carry_ + carry_len_, p, need);
      carry_len_ = 0;
      p += need;
      n -= need;
      if (rx_record_plausible(carry_)) {
        handler(static_cast<const uint8_t*>(carry_));
      } else if (!ended_short) {
        lose_rest(n + kRecord);
        return;
      } else {
        lose(kRecord);
      }
    }
    while (n >= kRecord) {
      if (rx_record_plausible(p)) {
        handler(p);
      } else if (!ended_short) {
        lose_rest(n);
        return;
      } else {
        lose(kRecord);
      }
      p += kRecord;
      n -= kRecord;
    }
    if (n == 0) return;
    std::memcpy(carry_, p, n);  // only a full transfer gets here with bytes left
    carry_len_ = n;
  }

  // Losses since the last call; resets them.
  RxLosses take_losses() noexcept {
    RxLosses l = losses_;
    losses_ = {};
    return l;
  }
  size_t pending() const noexcept { return carry_len_; }

 private:
  void lose(size_t bytes) noexcept {
    if (bytes == 0) return;
    losses_.bytes += bytes;
    losses_.records += (bytes + kRecord - 1) / kRecord;
  }
  void lose_rest(size_t bytes) noexcept {
    lose(bytes);
    out_of_step_ = true;
  }

  uint8_t carry_[kRecord]{};
  size_t carry_len_ = 0;
  bool out_of_step_ = false;  // boundaries unknown until the next short transfer
  RxLosses losses_;
};

}  // namespace tavro
