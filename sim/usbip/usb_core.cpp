// Standard requests of a simulated adapter's USB core.
#include "usbip/usb_core.hpp"

namespace tavro::sim::usbip {

namespace {

bool is_bulk_endpoint(uint16_t address) noexcept {
  return address == protocol::kEpRxIn || address == protocol::kEpTxResultIn || address == protocol::kEpBulkOut;
}

}  // namespace

UsbDeviceCore::UsbDeviceCore(std::shared_ptr<SimAdapter> adapter, DeviceDescriptors descriptors)
    : adapter_(std::move(adapter)), descriptors_(std::move(descriptors)) {}

std::optional<std::vector<uint8_t>> UsbDeviceCore::answer(const usb::ControlSetup& s) {
  enum : uint8_t {
    kGetStatus = 0,
    kClearFeature = 1,
    kGetDescriptor = 6,
    kGetConfiguration = 8,
    kSetConfiguration = 9,
    kGetInterface = 10,
    kSetInterface = 11
  };
  auto reply = [&](std::vector<uint8_t> bytes) -> std::optional<std::vector<uint8_t>> {
    if (bytes.size() > s.length) bytes.resize(s.length);
    return bytes;
  };
  const uint8_t type = s.request_type;
  const uint8_t iface = protocol::kInterfaceNumber;
  if (type == 0x80 && s.request == kGetDescriptor) {
    const uint8_t kind = uint8_t(s.value >> 8), index = uint8_t(s.value);
    if (kind == 1 && index == 0) return reply(descriptors_.device);
    if (kind == 2 && index == 0) return reply(descriptors_.configuration);
    if (kind == 3) {
      if (auto str = descriptors_.string(index)) return reply(*str);
    }
  } else if (type == 0x00 && s.request == kSetConfiguration && s.value <= 1) {
    configuration_ = uint8_t(s.value);
    adapter_->reset_halts();
    return reply({});
  } else if (type == 0x80 && s.request == kGetConfiguration) {
    return reply({configuration_});
  } else if (type == 0x01 && s.request == kSetInterface && s.index == iface && s.value == 0) {
    adapter_->reset_halts();
    return reply({});
  } else if (type == 0x81 && s.request == kGetInterface && s.index == iface) {
    return reply({0});
  } else if (type == 0x02 && s.request == kClearFeature && s.value == 0 /* ENDPOINT_HALT */ &&
             is_bulk_endpoint(s.index)) {
    if (adapter_->clear_halt(uint8_t(s.index)).status != usb::TransferStatus::Completed) return std::nullopt;
    return reply({});
  } else if ((type == 0x80 || (type == 0x81 && s.index == iface)) && s.request == kGetStatus) {
    return reply({0, 0});
  } else if (type == 0x82 && s.request == kGetStatus && is_bulk_endpoint(s.index)) {
    return reply({uint8_t(adapter_->halted(uint8_t(s.index)) ? 1 : 0), 0});
  }
  return std::nullopt;
}

}  // namespace tavro::sim::usbip
