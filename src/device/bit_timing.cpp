// Bit timing record codec and the bit timing search.
#include "device/bit_timing.hpp"

#include <algorithm>

#include "core/wire.hpp"

namespace tavro {

void BitTimingRecord::encode(uint8_t (&out)[kSize]) const noexcept {
  const uint32_t words[8] = {bitrate, sample_point, tq_ns, prop_seg, phase_seg1, phase_seg2, sjw, brp};
  for (size_t i = 0; i < 8; ++i) wire::put_u32(out + 4 * i, words[i]);
}

Result<BitTimingRecord> BitTimingRecord::decode(std::span<const uint8_t> reply) {
  if (reply.size() < kSize) return DeviceError::communication("Invalid bittiming response");
  const uint8_t* p = reply.data();
  BitTimingRecord r;
  r.bitrate = wire::get_u32(p);
  r.sample_point = wire::get_u32(p + 4);
  r.tq_ns = wire::get_u32(p + 8);
  r.prop_seg = wire::get_u32(p + 12);
  r.phase_seg1 = wire::get_u32(p + 16);
  r.phase_seg2 = wire::get_u32(p + 20);
  r.sjw = wire::get_u32(p + 24);
  r.brp = wire::get_u32(p + 28);
  return r;
}

const char* bit_timing_calc_error_text(BitTimingCalcError e) noexcept {
  switch (e) {
    case BitTimingCalcError::BitrateTooHigh: return "Classic CAN bitrate exceeds 1,000,000 bps";
    case BitTimingCalcError::InvalidParameters: return "Invalid bit timing parameters";
  }
  return "Invalid bit timing parameters";
}

BitTimingCalc calculate_bit_timing(uint32_t clock_hz, const BtConstRecord& lim, uint32_t bitrate,
                                   uint32_t sample_point) noexcept {
  BitTimingCalc out;
  if (bitrate > kMaxClassicBitrate) {
    out.error = BitTimingCalcError::BitrateTooHigh;
    return out;
  }
  out.error = BitTimingCalcError::InvalidParameters;

  // All arithmetic in 64 bits: the limits are untrusted 32-bit words from the adapter.
  const uint64_t brp_start = std::max<uint64_t>(lim.brp_min, 1);
  const uint64_t brp_end = std::min<uint64_t>(lim.brp_max, kMaxPrescaler);
  const uint64_t brp_step = std::min<uint64_t>(lim.brp_inc == 0 ? 1 : lim.brp_inc, kMaxPrescaler);
  if (bitrate == 0 || clock_hz == 0 || lim.tseg1_min > lim.tseg1_max || lim.tseg2_min > lim.tseg2_max ||
      lim.tseg1_max > kMaxTimingSegment || lim.tseg2_max > kMaxTimingSegment || brp_start > brp_end)
    return out;

  const int64_t t1_min = lim.tseg1_min, t1_max = lim.tseg1_max;
  const int64_t t2_min = lim.tseg2_min, t2_max = lim.tseg2_max;
  uint64_t best_score = UINT64_MAX;
  for (uint64_t brp = brp_start; brp <= brp_end; brp += brp_step) {
    const uint64_t tq_rate = clock_hz / brp;
    if (tq_rate < bitrate) continue;
    const int64_t nq = static_cast<int64_t>(tq_rate / bitrate);
    if (nq - 1 < t1_min + t2_min || nq - 1 > t1_max + t2_max) continue;

    const int64_t product = nq * static_cast<int64_t>(sample_point);
    const int64_t tseg1 = product < 2000 ? t1_min : std::clamp<int64_t>(product / 1000 - 1, t1_min, t1_max);
    const int64_t tseg2 = std::max<int64_t>(nq - 1 - tseg1, 0);
    if (tseg2 < t2_min || tseg2 > t2_max) continue;

    const uint64_t actual = clock_hz / (static_cast<uint64_t>(nq) * brp);
    const uint64_t actual_sp = static_cast<uint64_t>(tseg1 + 1) * 1000 / static_cast<uint64_t>(nq);
    const uint64_t sp_err = actual_sp > sample_point ? actual_sp - sample_point : sample_point - actual_sp;
    const uint64_t rate_err = actual > bitrate ? actual - bitrate : bitrate - actual;
    const uint64_t score = sp_err + 1000 * rate_err;
    if (score < best_score) {  // strictly: on a tie the smaller BRP stays
      best_score = score;
      BitTimingRecord r;
      r.bitrate = static_cast<uint32_t>(actual);
      r.sample_point = static_cast<uint32_t>(actual_sp);
      r.tq_ns = static_cast<uint32_t>(brp * 1000000000ull / clock_hz);
      r.prop_seg = 0;
      r.phase_seg1 = static_cast<uint32_t>(tseg1);
      r.phase_seg2 = static_cast<uint32_t>(tseg2);
      r.sjw = static_cast<uint32_t>(std::clamp<int64_t>(std::min<int64_t>(lim.sjw_max, tseg2), 1, 4));
      r.brp = static_cast<uint32_t>(brp);
      out.record = r;
      if (score == 0) break;
    }
  }
  return out;
}

}  // namespace tavro
