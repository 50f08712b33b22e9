// The shared stall policy of the bulk endpoints: burst detection, back-off of the halt clears, and their log lines.
#include "device/endpoint_halt.hpp"

#include <algorithm>
#include <utility>

#include "device/usb_errors.hpp"

namespace tavro {
namespace {

constexpr std::chrono::milliseconds kFirstDelay{1};
constexpr std::chrono::milliseconds kMaxDelay{100};
constexpr std::chrono::milliseconds kRetryAfterFailure{100};
constexpr std::chrono::seconds kBurstGap{1};
constexpr std::chrono::seconds kLogInterval{1};

}  // namespace

EndpointHalt::EndpointHalt(log::Target target, const char* pipe, const char* endpoint)
    : target_(target),
      pipe_(pipe),
      endpoint_(endpoint),
      // The receive endpoint's failure line has always been the bare one; the others name their endpoint.
      clear_failed_(endpoint_ == "EP_BULK_IN" ? "clear_halt failed: " : "clear_halt(" + endpoint_ + ") failed: ") {}

void EndpointHalt::stalled() {
  const TimePoint now = Clock::now();
  bool new_burst = false;
  uint64_t report = 0;
  {
    std::lock_guard<std::mutex> lk(mu_);
    new_burst = !in_burst_ || now - last_stall_ > kBurstGap;
    if (new_burst) {
      report = std::exchange(unreported_, 0);
      in_burst_ = true;
      logged_ = now;
    } else {
      ++unreported_;
      if (now - logged_ >= kLogInterval) report = std::exchange(unreported_, 0), logged_ = now;
    }
    // Only stalls with nothing completed in between back off: the first waits for nothing.
    if (!unsettled_.load(std::memory_order_relaxed)) delay_ = Duration::zero();
    due_ = std::max(due_, now + delay_);
    delay_ = std::clamp<Duration>(delay_ * 2, kFirstDelay, kMaxDelay);
    last_stall_ = now;
    unsettled_.store(true, std::memory_order_release);
    halted_.store(true, std::memory_order_release);
  }
  report_repeats(report);
  if (new_burst)
    TAVRO_LOG(target_, log::Level::Warn, pipe_ + " pipe stall \xE2\x80\x94 calling clear_halt(" + endpoint_ + ")");
}

void EndpointHalt::settle() {
  uint64_t report = 0;
  {
    std::lock_guard<std::mutex> lk(mu_);
    report = std::exchange(unreported_, 0);
    if (report != 0) logged_ = Clock::now();
    unsettled_.store(false, std::memory_order_relaxed);
    halted_.store(false, std::memory_order_release);  // a completed transfer: the endpoint is not halted
  }
  report_repeats(report);
}

Duration EndpointHalt::due_in() const {
  if (!halted()) return Duration::zero();
  std::lock_guard<std::mutex> lk(mu_);
  return std::max(due_ - Clock::now(), Duration::zero());
}

Status EndpointHalt::cleared(const usb::TransferOutcome& o) {
  if (o.ok()) {
    halted_.store(false, std::memory_order_release);
    return Ok{};
  }
  {
    std::lock_guard<std::mutex> lk(mu_);
    due_ = Clock::now() + kRetryAfterFailure;
  }
  DeviceError e = usb_error(o);
  TAVRO_LOG(target_, log::Level::Error, clear_failed_ + e.text());
  return e;
}

void EndpointHalt::report_repeats(uint64_t n) const {
  if (n == 0) return;
  TAVRO_LOG(target_, log::Level::Warn,
            pipe_ + " pipe stall repeated " + std::to_string(n) + " more time(s); halt cleared each time");
}

}  // namespace tavro
