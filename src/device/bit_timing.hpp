// Nominal CAN bit timing: the 32-byte BitTimingRecord and the host-side search for a timing that the controller's
// limits allow.
//
//   calc = calculate_bit_timing(clock_hz, bt_const, bitrate, sample_point_permille)
//   calc.record  -> {actual bitrate, actual sample point, tq ns, 0, tseg1, tseg2, sjw, brp}
//   calc.error   -> BitrateTooHigh ("Classic CAN bitrate exceeds 1,000,000 bps") or
//                   InvalidParameters ("Invalid bit timing parameters"); device errors, not argument refusals
// The search walks the BRP range upwards and keeps the first candidate with the lowest score, where the score
// weighs a bitrate error 1000 times a sample-point error; an exact match ends the search.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/result.hpp"
#include "device/records.hpp"

namespace tavro {

struct BitTimingRecord {
  static constexpr size_t kSize = 32;
  uint32_t bitrate = 0;       // bit/s the timing actually produces
  uint32_t sample_point = 0;  // tenths of a percent (875 = 87.5 %)
  uint32_t tq_ns = 0;
  uint32_t prop_seg = 0;  // always 0 from the host: included in phase segment 1
  uint32_t phase_seg1 = 0;
  uint32_t phase_seg2 = 0;
  uint32_t sjw = 0;
  uint32_t brp = 0;

  void encode(uint8_t (&out)[kSize]) const noexcept;
  // Uses the first 32 bytes; shorter replies fail with Communication "Invalid bittiming response".
  static Result<BitTimingRecord> decode(std::span<const uint8_t> reply);
  friend bool operator==(const BitTimingRecord&, const BitTimingRecord&) = default;
};

enum class BitTimingCalcError : uint8_t { BitrateTooHigh, InvalidParameters };
const char* bit_timing_calc_error_text(BitTimingCalcError e) noexcept;

struct BitTimingCalc {
  std::optional<BitTimingRecord> record;
  BitTimingCalcError error = BitTimingCalcError::InvalidParameters;  // meaningful when !record
  bool ok() const noexcept { return record.has_value(); }
};

inline constexpr uint32_t kMaxClassicBitrate = 1000000;

BitTimingCalc calculate_bit_timing(uint32_t clock_hz, const BtConstRecord& limits, uint32_t bitrate,
                                   uint32_t sample_point) noexcept;

}  // namespace tavro
