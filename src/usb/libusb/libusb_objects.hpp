// The libusb backend's seam objects, shared between the device/interface code and the endpoint pipes.
#pragma once

#include <libusb.h>

#include <atomic>
#include <bitset>
#include <memory>
#include <mutex>
#include <vector>

#include "usb/host.hpp"
#include "usb/libusb/libusb_support.hpp"

namespace tavro::usb::libusb_detail {

// Devices open in this process. libusb itself lets a process open one device any number of times; the seam
// promises an exclusive open, so a second open of the same device is refused here.
class OpenRegistry {
 public:
  bool insert(libusb_device* dev);  // false if already open
  void erase(libusb_device* dev);
  // A device whose cancelled transfer never came back: opening it again would wait in the kernel behind that
  // transfer (until it is unplugged), so enumeration does not read its serial number.
  void mark_lost(libusb_device* dev);
  bool lost(libusb_device* dev);

 private:
  std::mutex m_;
  std::vector<libusb_device*> open_;  // guarded by m_
  std::vector<libusb_device*> lost_;  // guarded by m_; a subset of open_, never erased (the device stays open)
};

// An opened device: one libusb handle, closed (and the event thread released) on destruction, unless a cancelled
// transfer of the device never came back: closing the handle would then wait in the kernel for that transfer, so
// the handle, its registration and its event user stay, and the event thread frees the parked transfer if it ever
// returns (on unplug, typically).
class DeviceImpl final : public Device {
 public:
  // Takes over `handle` and one event user of the Context; `dev` stays registered in `registry` until closed.
  DeviceImpl(libusb_device_handle* handle, libusb_device* dev, OpenRegistry& registry);
  ~DeviceImpl() override;

  HostResult<std::shared_ptr<Interface>> claim_interface(uint8_t number) override;
  TransferOutcome control_transfer(const ControlSetup& setup, std::span<uint8_t> data, Duration timeout) override;

  libusb_device_handle* handle() const noexcept { return handle_; }
  // Called by a claimed interface when it has released itself.
  void forget_claim(uint8_t number);

  // Whether a cancelled transfer of this device was given up on; from then on every transfer fails with Lost.
  bool lost() const noexcept { return lost_.load(); }
  // Until when a transfer of this device cancelled now may take to return: kCancelReturnLimit, or only
  // kLostDeviceGrace once the device is lost.
  Clock::time_point return_deadline() const noexcept;
  // Waits for a cancelled transfer of this device (wait_returned); false, with the device lost, if it was parked.
  bool reclaim(TransferSlot& slot, Clock::time_point give_up, const char* what);
  // Cancels the slot's transfer (start_cancel) through this device's gate. Not on a lost device: the cancellation
  // would only wait in the kernel behind the lost one, and unplugging gives back every transfer anyway.
  void cancel(TransferSlot& slot) {
    if (!lost()) start_cancel(slot, gate_);
  }
  // Before any other request of the device: waits, within return_deadline(), until no cancellation is left in
  // the kernel; false, with the device lost, when one stays there or the device is lost already.
  bool clear_to_submit();

 private:
  void lose(const char* what);

  const std::shared_ptr<CancelGate> gate_ = std::make_shared<CancelGate>();
  std::atomic<bool> lost_{false};
  libusb_device_handle* const handle_;
  libusb_device* const dev_;
  OpenRegistry& registry_;
  std::mutex m_;
  std::bitset<256> claimed_;  // guarded by m_: libusb treats a repeated claim as success, the seam does not
};

// A claimed interface. Its endpoint descriptors are read once at claim time: they cannot change while it is claimed.
class InterfaceImpl final : public Interface, public std::enable_shared_from_this<InterfaceImpl> {
 public:
  InterfaceImpl(std::shared_ptr<DeviceImpl> device, uint8_t number, std::vector<EndpointDescriptor> endpoints);
  ~InterfaceImpl() override;  // releases the interface

  uint8_t number() const noexcept override { return number_; }
  Device& device() noexcept override { return *device_; }
  std::vector<EndpointDescriptor> endpoints() const override { return endpoints_; }
  HostResult<std::unique_ptr<BulkInPipe>> open_bulk_in(uint8_t address) override;
  HostResult<std::unique_ptr<BulkOutPipe>> open_bulk_out(uint8_t address) override;

  libusb_device_handle* handle() const noexcept { return device_->handle(); }
  DeviceImpl& owner() noexcept { return *device_; }
  // Bulk OUT exclusivity: an OUT pipe holds its endpoint from open to destruction.
  void release_out(uint8_t address);

 private:
  const std::shared_ptr<DeviceImpl> device_;
  const uint8_t number_;
  const std::vector<EndpointDescriptor> endpoints_;
  std::mutex m_;
  std::bitset<16> out_open_;  // guarded by m_; indexed by endpoint number
};

// Endpoint pipes (libusb_pipes.cpp). Each keeps its interface alive.
std::unique_ptr<BulkInPipe> make_bulk_in_pipe(std::shared_ptr<InterfaceImpl> itf, const EndpointDescriptor& desc);
std::unique_ptr<BulkOutPipe> make_bulk_out_pipe(std::shared_ptr<InterfaceImpl> itf, const EndpointDescriptor& desc);

}  // namespace tavro::usb::libusb_detail
