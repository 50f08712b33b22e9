// UsbAdapter: one opened TAVRO adapter (device, claimed interface 0, bulk OUT endpoint 0x02) and the vendor
// control-request transport on it. Shared by reference between the handle and its workers.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "core/protocol.hpp"
#include "core/result.hpp"
#include "core/sync.hpp"
#include "device/endpoint_halt.hpp"
#include "usb/host.hpp"

namespace tavro {

using protocol::ControlCommand;

inline constexpr std::chrono::milliseconds kControlTimeout{1000};

class UsbAdapter {
 public:
  UsbAdapter(std::string serial, std::shared_ptr<usb::Device> device, std::shared_ptr<usb::Interface> interface,
             std::unique_ptr<usb::BulkOutPipe> bulk_out);
  ~UsbAdapter();  // releases the bulk OUT endpoint, then the interface, then the device
  UsbAdapter(const UsbAdapter&) = delete;
  UsbAdapter& operator=(const UsbAdapter&) = delete;

  const std::string& serial() const noexcept { return serial_; }
  uint8_t interface_number() const noexcept { return protocol::kInterfaceNumber; }
  usb::Interface& interface() noexcept { return *interface_; }

  // Vendor OUT request with a 1 s time-out. An empty payload sends wLength 0 and no data stage.
  Status control_out(ControlCommand cmd, uint16_t value, std::span<const uint8_t> payload);
  // Vendor IN request; returns exactly the bytes delivered (possibly fewer than requested). A zero time-out
  // returns DeviceError::timeout() without sending anything.
  Result<std::vector<uint8_t>> control_in(ControlCommand cmd, uint16_t value, uint16_t length,
                                          std::chrono::nanoseconds timeout = kControlTimeout);

  // Whether the host stack kept a cancelled control transfer (UsbErrorKind::Lost): the adapter is unusable.
  bool lost() const noexcept { return lost_.load(std::memory_order_relaxed); }
  // Whether a request found the adapter gone (unplugged); it never comes back to this handle.
  bool gone() const noexcept { return gone_.load(std::memory_order_acquire); }
  void mark_gone() noexcept { gone_.store(true, std::memory_order_release); }

  // Bulk OUT endpoint and the lock that serialises its writers (one transfer in flight at a time). The lock is
  // held for one pipe call at a time (a submit, one wait slice, a cancellation), never across a whole write.
  usb::BulkOutPipe& bulk_out() noexcept { return *bulk_out_; }
  TimedMutex& bulk_out_lock() noexcept RETURN_CAPABILITY(bulk_out_lock_) { return bulk_out_lock_; }

  // The record write in flight on the bulk OUT endpoint.
  struct OutFlight {
    bool active = false;
    uint64_t writer = 0;  // 1 while its writer waits for it; 0 once that writer gave up on it
    bool stuck = false;   // cancelled and not returned in time: its buffer stays reserved until it returns
  };
  OutFlight& out_flight() noexcept REQUIRES(bulk_out_lock_) { return out_flight_; }
  // Stalls and the halt of each bulk endpoint (0x81, 0x83, 0x02): they outlive the streams and sessions that use
  // the endpoint, so the next user clears a halt that the last one saw.
  EndpointHalt& halt(uint8_t endpoint) noexcept {
    return endpoint == protocol::kEpRxIn ? rx_halt_ : endpoint == protocol::kEpTxResultIn ? results_halt_ : out_halt_;
  }
  // Signalled (under bulk_out_lock) whenever the write in flight is collected.
  std::condition_variable_any& out_flight_done() noexcept { return out_flight_done_; }

 private:
  std::string serial_;
  std::shared_ptr<usb::Device> device_;
  std::shared_ptr<usb::Interface> interface_;
  std::unique_ptr<usb::BulkOutPipe> bulk_out_;
  TimedMutex bulk_out_lock_;
  OutFlight out_flight_ GUARDED_BY(bulk_out_lock_);
  EndpointHalt rx_halt_{log::Target::Channel, "Bulk IN", "EP_BULK_IN"};
  EndpointHalt results_halt_{log::Target::TxSession, "TX result", "EP_TX_RESULT_IN"};
  EndpointHalt out_halt_{log::Target::Channel, "Bulk OUT", "EP_BULK_OUT"};
  std::condition_variable_any out_flight_done_;
  std::atomic<bool> lost_{false};
  std::atomic<bool> gone_{false};
};

}  // namespace tavro
