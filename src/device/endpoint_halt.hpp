// Stalls of one bulk endpoint and the clearing of its halt: one policy for every user of the endpoint (its reader
// or writer, and the opening and release of its streams). Kept with the opened adapter, so a halt that one user saw
// and could not clear yet is cleared by the next one instead of failing every later session.
//
//   h.stalled()             # a transfer ended Stall: the endpoint stays halted until the host clears it
//   h.flowing()             # a transfer completed: not halted, and the next stall is cleared at once again
//   if h.halted():
//       wait(h.due_in())    # stalls in quick succession back the clears off
//       h.clear(pipe)       # ClearFeature(ENDPOINT_HALT); its error (also logged) when it failed
//
// The first stall of a burst is logged at Warn ("Bulk IN pipe stall — calling clear_halt(EP_BULK_IN)") and its
// clear is due at once; while no transfer completes in between, each further clear waits twice as long as the one
// before (1 ms, 2 ms, ... at most 100 ms), so an endpoint that stalls every transfer spins no thread and gets no
// control request per transfer. The repeats are counted and logged at most once a second, and when data flows
// again. A burst ends after a second without a stall. A failed clear is due again 100 ms later.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/deadline.hpp"
#include "core/log.hpp"
#include "core/result.hpp"
#include "usb/host.hpp"

namespace tavro {

class EndpointHalt {
 public:
  EndpointHalt(log::Target target, const char* pipe, const char* endpoint);
  EndpointHalt(const EndpointHalt&) = delete;
  EndpointHalt& operator=(const EndpointHalt&) = delete;

  void stalled();
  // Cheap while nothing stalled: called for every completed transfer.
  void flowing() {
    if (unsettled_.load(std::memory_order_acquire)) settle();
  }
  bool halted() const noexcept { return halted_.load(std::memory_order_acquire); }
  // How long until the next clear may be sent; zero when it is due (or nothing is halted).
  Duration due_in() const;
  // Sends the clear now, whatever the back-off says. Ok when the endpoint is no longer halted.
  template <typename Pipe>
  Status clear(Pipe& pipe) {
    return cleared(pipe.clear_halt());
  }

 private:
  Status cleared(const usb::TransferOutcome& o);
  void settle();
  void report_repeats(uint64_t n) const;

  const log::Target target_;
  const std::string pipe_, endpoint_, clear_failed_;
  std::atomic<bool> halted_{false};
  std::atomic<bool> unsettled_{false};  // a stall since the last completed transfer
  mutable std::mutex mu_;               // guards the members below; never held while logging or sending
  bool in_burst_ = false;
  TimePoint last_stall_{}, logged_{}, due_{};
  Duration delay_{};
  uint64_t unreported_ = 0;
};

}  // namespace tavro
