// Helpers shared by the data-path and session tests.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

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

inline CanFrame make_frame(uint32_t id, uint8_t dlc, bool extended = false, bool rtr = false) {
  CanFrame f;
  f.id = id;
  f.dlc = dlc;
  f.flags = uint8_t((extended ? FRAME_FLAG_EXTENDED : 0) | (rtr ? FRAME_FLAG_RTR : 0));
  for (uint8_t i = 0; i < dlc && i < 8; ++i) f.data[i] = uint8_t(0xA0 + i);
  return f;
}

}  // namespace tavro::test
