// One plugged simulated adapter as the USB seam sees it: the firmware model, its fault rules, the record of what it
// received, and the plug/open/claim state that the seam objects (sim/backend/backend.cpp) work on.
//
// Locking: `mu_` guards the plug, open and transfer state of every seam object of this adapter, and `cv_` wakes
// their waiters. It is taken after the firmware's request lock and before its state lock (see firmware.hpp); it is
// never held while calling Firmware::control, Firmware::bulk_out or Firmware::power_off.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "backend/faults.hpp"
#include "firmware/firmware.hpp"
#include "usb/host.hpp"

namespace tavro::sim {

// A control request as it reached the adapter, and how it ended.
struct ControlRecord {
  usb::ControlSetup setup;
  std::vector<uint8_t> data;   // OUT payload
  std::vector<uint8_t> reply;  // IN bytes delivered to the host
  usb::TransferStatus status = usb::TransferStatus::Completed;
};

class BulkInTransferQueue;

class SimAdapter final : public EndpointListener {
 public:
  SimAdapter(uint64_t id, uint8_t address, FirmwareProfile profile, std::shared_ptr<SimBus> bus);
  ~SimAdapter();

  uint64_t id() const noexcept { return id_; }
  uint8_t address() const noexcept { return address_; }
  Firmware& firmware() noexcept { return firmware_; }
  FaultSet& faults() noexcept { return faults_; }

  bool plugged() const noexcept { return plugged_.load(); }
  // Ends every pending and later transfer with Disconnected and detaches the firmware from the bus.
  void unplug();

  // What reached the adapter, oldest first; bounded (the oldest entries are dropped beyond the limit).
  std::vector<ControlRecord> control_records() const;
  std::vector<std::vector<uint8_t>> bulk_out_records() const;
  void clear_records();
  void set_record_limit(size_t entries);

  // --- used by the seam objects ---
  void endpoint_ready(uint8_t endpoint) noexcept override;
  // Marks the adapter unplugged while `mu_` is held (transfers see it when next pumped or waited for); the
  // firmware is powered off by finish_unplug() later.
  void unplug_locked() noexcept;
  // Completes an unplug begun under the lock. Call with no lock held.
  void finish_unplug();
  void record_control(ControlRecord record);
  void record_bulk_out(std::span<const uint8_t> bytes);
  void register_in_queue(BulkInTransferQueue* q);
  void unregister_in_queue(BulkInTransferQueue* q);
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
  bool open_ = false;          // guarded by mu_
  bool claimed_ = false;       // guarded by mu_
  uint32_t open_endpoints_ = 0;  // bit per endpoint number + 16 for IN; guarded by mu_
  uint64_t ready_seq_ = 0;       // counts endpoint_ready calls, so a waiter cannot miss one; guarded by mu_

 private:
  const uint64_t id_;
  const uint8_t address_;
  Firmware firmware_;
  FaultSet faults_;
  std::atomic<bool> plugged_{true};
  std::atomic<bool> powered_off_{false};
  std::vector<BulkInTransferQueue*> in_queues_;  // guarded by mu_

  mutable std::mutex record_mu_;
  size_t record_limit_ = 65536;
  std::vector<ControlRecord> control_records_;
  // Bulk OUT transfers as one byte log plus end offsets, so recording costs no allocation per record.
  std::vector<uint8_t> bulk_bytes_;
  std::vector<size_t> bulk_ends_;
};

// The queued bulk IN transfers of one pipe. Lives in backend.cpp; declared here so the adapter can pump it.
class BulkInTransferQueue {
 public:
  virtual void pump_locked(std::chrono::steady_clock::time_point now) = 0;

 protected:
  ~BulkInTransferQueue() = default;
};

}  // namespace tavro::sim
