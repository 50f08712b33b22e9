// Helpers shared by the data-path and session tests.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "stream/records.hpp"

namespace tavro::test {

// Polls `pred` until it holds or `timeout` passes; returns its last value. Generous time-outs: machines are shared.
inline bool eventually(const std::function<bool()>& pred,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A serial number no other test in this process uses (echo tables are per serial, process-wide).
inline std::string unique_serial() {
  static std::atomic<int> n{0};
  return "tav.io:CANT" + std::to_string(1000 + n.fetch_add(1));
}

// One 24-byte receive record as the adapter sends it.
inline std::vector<uint8_t> rx_record(uint32_t id_word, uint8_t dlc, std::initializer_list<uint8_t> data = {},
                                      uint64_t ts = 0, uint8_t flags = 0) {
  std::vector<uint8_t> b(24, 0);
  b[1] = dlc;
  b[2] = flags;
  wire::put_u32(b.data() + 4, id_word);
  size_t i = 8;
  for (uint8_t d : data) b[i++] = d;
  wire::put_u64(b.data() + 16, ts);
  return b;
}

// Transmission results: the 12-byte explicit record and the 10-byte legacy echo.
inline std::vector<uint8_t> explicit_result(uint8_t tx_id, uint8_t status, uint8_t flags, uint64_t ts,
                                            uint8_t channel = 0) {
  std::vector<uint8_t> b(12, 0);
  b[0] = channel;
  b[1] = tx_id;
  b[2] = status;
  b[3] = flags;
  wire::put_u64(b.data() + 4, ts);
  return b;
}
inline std::vector<uint8_t> legacy_echo(uint8_t tx_id, uint64_t ts, uint8_t channel = 0) {
  std::vector<uint8_t> b(10, 0);
  b[0] = channel;
  b[1] = tx_id;
  wire::put_u64(b.data() + 2, ts);
  return b;
}

inline std::vector<uint8_t> u32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

inline std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline CanFrame make_frame(uint32_t id, uint8_t dlc, bool extended = false, bool rtr = false) {
  CanFrame f;
  f.id = id;
  f.dlc = dlc;
  f.flags = uint8_t((extended ? FRAME_FLAG_EXTENDED : 0) | (rtr ? FRAME_FLAG_RTR : 0));
  for (uint8_t i = 0; i < dlc && i < 8; ++i) f.data[i] = uint8_t(0xA0 + i);
  return f;
}

}  // namespace tavro::test
