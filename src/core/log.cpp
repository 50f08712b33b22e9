// Process-wide log sink and the per-(target, level) cache of its enabled answers.
#include "core/log.hpp"

#include <atomic>

namespace tavro::log {
namespace {

std::atomic<Sink*> g_sink{nullptr};
// 0 unknown, 1 disabled, 2 enabled.
std::atomic<uint8_t> g_enabled[kTargetCount][kLevelCount];

}  // namespace

const char* target_name(Target t) noexcept {
  switch (t) {
    case Target::Device: return "tavro_usb::device";
    case Target::Channel: return "tavro_usb::channel";
    case Target::TxSession: return "tavro_usb::tx_session";
  }
  return "tavro_usb";
}

bool install_sink(Sink* sink) noexcept {
  Sink* expected = nullptr;
  return g_sink.compare_exchange_strong(expected, sink, std::memory_order_acq_rel);
}

Sink* current_sink() noexcept { return g_sink.load(std::memory_order_acquire); }

void reset_enabled_cache() noexcept {
  for (auto& row : g_enabled)
    for (auto& cell : row) cell.store(0, std::memory_order_relaxed);
}

bool enabled(Target target, Level level) noexcept {
  auto& cell = g_enabled[static_cast<int>(target)][static_cast<int>(level)];
  uint8_t v = cell.load(std::memory_order_relaxed);
  if (v != 0) return v == 2;
  Sink* sink = current_sink();
  if (sink == nullptr) return false;
  bool on = sink->enabled(target, level);
  cell.store(on ? 2 : 1, std::memory_order_relaxed);
  return on;
}

void write(Target target, Level level, const char* file, int line, std::string_view text) noexcept {
  if (Sink* sink = current_sink()) sink->write(target, level, file, line, text);
}

}  // namespace tavro::log
