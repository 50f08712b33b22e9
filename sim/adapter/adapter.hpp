// One plugged simulated adapter as a USB host sees it: the firmware model, its fault rules, the record of what it
// received, and the plug/open/claim state. Its transfer entry points (plan_control/answer_control, BulkInQueue,
// plan_bulk_out_locked/bulk_out) apply the fault rules in one place for every front-end: the in-process seam
// objects (sim/backend/backend.cpp) and the USB/IP server (sim/usbip/).
//
// Locking: `mu_` guards the plug, open and transfer state of every seam object of this adapter, and `cv_` wakes
// their waiters. It is taken after the firmware's request lock and before its state lock (see firmware.hpp); it is
// never held while calling Firmware::control, Firmware::bulk_out or Firmware::power_off.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "adapter/faults.hpp"
#include "firmware/firmware.hpp"
#include "usb/host.hpp"

namespace tavro::sim {

// A control request as it reached the adapter, and how it ended.
struct ControlRecord {
  usb::ControlSetup setup;
  std::vector<uint8_t> data;   // OUT payload
  std::vector<uint8_t> reply;  // IN bytes delivered to the host
  usb::TransferStatus status = usb::TransferStatus::Completed;
  std::chrono::nanoseconds timeout{};  // the host's time-out, where the front-end knows it (the seam)
  bool in() const noexcept { return (setup.request_type & 0x80) != 0; }
};

class BulkInQueue;

// Told (with the adapter lock held) whenever an endpoint became ready or the adapter was unplugged. Must not block
// or take the adapter lock.
class AdapterWatcher {
 public:
  virtual void adapter_event() noexcept = 0;

 protected:
  ~AdapterWatcher() = default;
};

using Clock = std::chrono::steady_clock;

// What the fault rules make of one control request, decided once when it arrives. The seam follows it by blocking,
// the USB/IP server by answering later or never.
struct ControlPlan {
  enum class Kind : uint8_t {
    Answer = 0,  // answer (after `delay`) with answer_control
    Hang = 1,    // never answered: the host's time-out cancels it
    End = 2,     // ends at once with `end` (stall, fault, host error, or Disconnected after an unplug)
  };
  Kind kind = Kind::Answer;
  std::chrono::nanoseconds delay{0};
  usb::TransferOutcome end;
  std::optional<FaultRule> rule;  // Answer: the rule that shapes the reply (reply, short/long reply)
};

// What the fault rules make of one bulk OUT transfer.
struct BulkOutPlan {
  bool hang = false;                        // never accepted (the device NAKs until the host gives up)
  Clock::time_point ready_at{};             // not accepted before
  size_t limit = 0;                         // bytes the adapter takes (a partial acceptance lowers it)
  std::optional<usb::TransferOutcome> end;  // ends at once with this outcome
};

class SimAdapter final : public EndpointListener {
 public:
  SimAdapter(uint64_t id, uint8_t address, FirmwareProfile profile, std::shared_ptr<SimBus> bus);
  ~SimAdapter();

  uint64_t id() const noexcept { return id_; }
  uint8_t address() const noexcept { return address_; }
  Firmware& firmware() noexcept { return firmware_; }
  FaultSet& faults() noexcept { return faults_; }

  // Adds a fault rule and lets the transfers already queued see it at once (a bulk IN rule applies to the oldest
  // waiting transfer, whose waiter is woken).
  void add_fault(FaultRule rule);

  bool plugged() const noexcept { return plugged_.load(); }
  // Ends every pending and later transfer with Disconnected and detaches the firmware from the bus.
  void unplug();

  // The host's view of the bulk endpoints, for tests: the lengths of the queued IN transfers of `endpoint`, oldest
  // first, and whether the host has a pipe open on `address`.
  std::vector<size_t> pending_in(uint8_t endpoint);
  bool endpoint_open(uint8_t address);
  // What the host submitted on a bulk endpoint so far (refused submissions not counted): transfers, the length of
  // the last one, and the most queued at once (IN; 1 for OUT).
  struct EndpointUse {
    uint64_t transfers = 0;
    size_t last_length = 0;
    size_t most_queued = 0;
  };
  EndpointUse endpoint_use(uint8_t endpoint);
  void note_submit_locked(uint8_t endpoint, size_t length, size_t queued) noexcept;
  // How the host waits on bulk IN endpoint 0x81 or 0x83, for tests: the time-out of the wait blocked there now
  // (zero: none is; usb::kNoTimeout: one without a time-out), and how many waits ended without a transfer
  // (time-outs, interrupts) since the adapter was made.
  usb::Duration in_wait(uint8_t endpoint);
  uint64_t empty_in_waits(uint8_t endpoint);
  // Front-ends' bookkeeping for those two. Need `mu_`.
  void note_in_wait_locked(uint8_t endpoint, usb::Duration timeout) noexcept { in_wait_[endpoint == 0x83] = timeout; }
  void note_empty_in_wait_locked(uint8_t endpoint) noexcept { ++empty_in_waits_[endpoint == 0x83]; }

  // What reached the adapter, oldest first; bounded (the oldest entries are dropped beyond the limit).
  std::vector<ControlRecord> control_records() const;
  std::vector<std::vector<uint8_t>> bulk_out_records() const;
  void clear_records();
  void set_record_limit(size_t entries);

  // --- transfer entry points shared by the front-ends ---
  // Takes the fault rule for a control request. A disconnect rule unplugs the adapter here. No lock held.
  ControlPlan plan_control(const usb::ControlSetup& setup);
  // Answers a planned request: the firmware's reply (or the rule's), shaped by the rule. IN: `data` receives up to
  // setup.length bytes; OUT: it holds setup.length bytes. A reply longer than setup.length ends Fault (the host
  // controller's babble). No lock held.
  usb::TransferOutcome answer_control(const usb::ControlSetup& setup, std::span<uint8_t> data, const ControlPlan& plan);
  // Takes the fault rule for a bulk OUT transfer of `length` bytes. Needs `mu_`; a disconnect rule marks the adapter
  // unplugged (finish_unplug() later).
  BulkOutPlan plan_bulk_out_locked(size_t length);
  // Offers bulk OUT bytes to the firmware and records them when taken; false when its transmit queue is full (the
  // device NAKs; offer again when endpoint 0x02 is ready). No lock held (the firmware calls back).
  bool bulk_out(std::span<const uint8_t> bytes);
  // A stall rule on a bulk endpoint halts it, as the firmware does, until the host clears the halt: bulk OUT
  // transfers stall; of the queued bulk IN transfers the oldest stalls and the others wait (the host controller
  // stops the endpoint's queue) until the halt is cleared. Clears are counted per endpoint for tests.
  // Clearing a halt is a request the device answers: a ClearHalt rule ends it with its status, the halt kept.
  usb::TransferOutcome clear_halt(uint8_t endpoint);
  uint64_t halt_clears(uint8_t endpoint) const;
  bool halted(uint8_t endpoint) const noexcept;
  // Counts the halts of the endpoint, so that a queue reports each halt once.
  uint64_t halt_count(uint8_t endpoint) const noexcept;
  void halt(uint8_t endpoint) noexcept;
  // A configuration or interface selection clears every halt (not counted as clears).
  void reset_halts() noexcept;

  // --- used by the front-ends ---
  void endpoint_ready(uint8_t endpoint) noexcept override;
  // Marks the adapter unplugged while `mu_` is held (transfers see it when next pumped or waited for); the
  // firmware is powered off by finish_unplug() later.
  void unplug_locked() noexcept;
  // Completes an unplug begun under the lock. Call with no lock held.
  void finish_unplug();
  void record_control(ControlRecord record);
  void record_bulk_out(std::span<const uint8_t> bytes);
  void register_in_queue(BulkInQueue* q);
  void unregister_in_queue(BulkInQueue* q);
  // Watchers are told of every endpoint_ready and of the unplug. Need `mu_`.
  void add_watcher_locked(AdapterWatcher* w);
  void remove_watcher_locked(AdapterWatcher* w);
  // Lets every bulk IN queue take what the firmware has. Needs `mu_`.
  void pump_locked();

  std::mutex mu_;
  std::condition_variable cv_;
  // Waiters of one endpoint each (0x81, 0x83, 0x02): a received frame must not wake the result reader or a
  // pending bulk OUT, which would cost the receive path a context switch per frame.
  std::condition_variable ep_cv_[3];
  std::condition_variable& cv_for(uint8_t endpoint) noexcept {
    return ep_cv_[endpoint == 0x81 ? 0 : endpoint == 0x83 ? 1 : 2];
  }
  bool open_ = false;            // guarded by mu_
  bool claimed_ = false;         // guarded by mu_
  uint32_t open_endpoints_ = 0;  // endpoint_bit() of each open pipe; guarded by mu_
  static uint32_t endpoint_bit(uint8_t address) noexcept {
    return 1u << ((address & 0x0F) + ((address & 0x80) ? 16 : 0));
  }
  uint64_t ready_seq_ = 0;  // counts endpoint_ready calls, so a waiter cannot miss one; guarded by mu_

 private:
  const uint64_t id_;
  const uint8_t address_;
  Firmware firmware_;
  FaultSet faults_;
  std::atomic<bool> plugged_{true};
  std::atomic<bool> powered_off_{false};
  std::vector<BulkInQueue*> in_queues_;     // guarded by mu_
  usb::Duration in_wait_[2]{};              // 0x81, 0x83; guarded by mu_
  uint64_t empty_in_waits_[2]{};            // 0x81, 0x83; guarded by mu_
  std::vector<AdapterWatcher*> watchers_;   // guarded by mu_
  std::atomic<uint64_t> halt_clears_[3]{};  // 0x81, 0x83, 0x02
  std::atomic<bool> halted_[3]{};
  std::atomic<uint64_t> halts_[3]{};
  EndpointUse use_[3];  // guarded by mu_

  mutable std::mutex record_mu_;
  size_t record_limit_ = 65536;
  std::vector<ControlRecord> control_records_;
  // Bulk OUT transfers as one byte log plus end offsets, so recording costs no allocation per record.
  std::vector<uint8_t> bulk_bytes_;
  std::vector<size_t> bulk_ends_;
};

// The queued bulk IN transfers of one endpoint, completed in submission order with what the firmware has queued, up
// to each one's length (the firmware ends its packets short, so a transfer never waits to be filled). The fault
// rules apply to a transfer once, when it becomes the oldest outstanding one. Every member needs the adapter lock
// except construction and destruction (which register with the adapter and take the lock themselves).
class BulkInQueue {
 public:
  struct Transfer {
    uint64_t tag = 0;  // the front-end's name for it (the USB/IP sequence number)
    std::vector<uint8_t> buf;
    size_t length = 0;
    size_t limit = 0;  // the most bytes it may take (a short-reply rule lowers it)
    bool done = false;
    bool hung = false;
    bool rule_applied = false;
    Clock::time_point ready_at{};
    usb::TransferOutcome result;
    std::span<const uint8_t> data() const noexcept { return {buf.data(), result.actual}; }
  };

  BulkInQueue(std::shared_ptr<SimAdapter> adapter, uint8_t endpoint);
  ~BulkInQueue();
  BulkInQueue(const BulkInQueue&) = delete;
  BulkInQueue& operator=(const BulkInQueue&) = delete;

  uint8_t endpoint() const noexcept { return endpoint_; }
  void submit_locked(uint64_t tag, size_t length);
  // Completes transfers in order with what the firmware has queued.
  void pump_locked(Clock::time_point now);
  std::deque<Transfer>& transfers_locked() noexcept { return queue_; }
  // When the oldest outstanding transfer's delay ends; max when it is not delayed (any more).
  Clock::time_point next_due_locked() const noexcept;
  // Keeps a finished transfer's buffer for a later one.
  void recycle_locked(std::vector<uint8_t> buf);

 private:
  bool apply_rule(Transfer& t, const FaultRule& rule, Clock::time_point now);

  std::shared_ptr<SimAdapter> adapter_;
  const uint8_t endpoint_;
  std::deque<Transfer> queue_;
  std::vector<std::vector<uint8_t>> free_;  // reusable transfer buffers
  uint64_t halt_reported_ = 0;              // the last halt that stalled a transfer of this queue
};

}  // namespace tavro::sim
