// UsbAdapter: one opened TAVRO adapter (device, claimed interface 0, bulk OUT endpoint 0x02) and the vendor
// control-request transport on it. Shared by reference between the handle and its workers.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "core/result.hpp"
#include "device/protocol.hpp"
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

  // Bulk OUT endpoint and the lock that serialises its writers (one transfer in flight at a time).
  usb::BulkOutPipe& bulk_out() noexcept { return *bulk_out_; }
  std::timed_mutex& bulk_out_lock() noexcept { return bulk_out_lock_; }

 private:
  std::string serial_;
  std::shared_ptr<usb::Device> device_;
  std::shared_ptr<usb::Interface> interface_;
  std::unique_ptr<usb::BulkOutPipe> bulk_out_;
  std::timed_mutex bulk_out_lock_;
};

}  // namespace tavro
