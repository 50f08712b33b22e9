// Encoding and decoding of the USB/IP messages a simulated device exchanges with the host's vhci-hcd.
#include "usbip/wire.hpp"

#include <algorithm>
#include <cerrno>

namespace tavro::sim::usbip {

using usb::TransferStatus;

uint32_t get32(const uint8_t* p) noexcept {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint16_t get16(const uint8_t* p) noexcept { return uint16_t(p[0] << 8 | p[1]); }
void put32(std::vector<uint8_t>& v, uint32_t x) {
  v.insert(v.end(), {uint8_t(x >> 24), uint8_t(x >> 16), uint8_t(x >> 8), uint8_t(x)});
}
void put16(std::vector<uint8_t>& v, uint16_t x) { v.insert(v.end(), {uint8_t(x >> 8), uint8_t(x)}); }
void put_text(std::vector<uint8_t>& v, const std::string& s, size_t width) {
  const size_t n = std::min(s.size(), width - 1);
  v.insert(v.end(), s.begin(), s.begin() + std::ptrdiff_t(n));
  v.insert(v.end(), width - n, 0);
}

void put_device_record(std::vector<uint8_t>& v, const std::string& busid, uint32_t busnum, uint32_t devnum,
                       const DeviceDescriptors& d, const FirmwareProfile& p) {
  put_text(v, "/sys/devices/tavro-sim/usb1/" + busid, 256);
  put_text(v, busid, kBusidSize);
  put32(v, busnum);
  put32(v, devnum);
  put32(v, d.speed);
  put16(v, p.vendor_id);
  put16(v, p.product_id);
  put16(v, d.bcd_device);
  v.insert(v.end(), {0, 0, 0, 1 /* configuration value */, 1 /* configurations */, 1 /* interfaces */});
}

std::optional<Header> parse_header(const uint8_t* p, uint32_t max_transfer) noexcept {
  Header h{};
  h.command = get32(p);
  h.seqnum = get32(p + 4);
  h.devid = get32(p + 8);
  h.direction = get32(p + 12);
  h.ep = get32(p + 16);
  h.flags_or_unlink = get32(p + 20);
  h.length = get32(p + 24);
  h.start_frame = get32(p + 28);
  h.packets = get32(p + 32);
  h.interval = get32(p + 36);
  h.setup.request_type = p[40];
  h.setup.request = p[41];
  h.setup.value = uint16_t(p[42] | p[43] << 8);
  h.setup.index = uint16_t(p[44] | p[45] << 8);
  h.setup.length = uint16_t(p[46] | p[47] << 8);
  if (h.command == kCmdUnlink) return h;
  if (h.command != kCmdSubmit) return std::nullopt;
  if (h.direction > 1 || h.ep > 15 || h.length > max_transfer) return std::nullopt;
  // Isochronous packet descriptors would follow the data; this device has no isochronous endpoint.
  if (h.packets != 0 && h.packets != 0xFFFFFFFFu) return std::nullopt;
  return h;
}

int32_t urb_status(const usb::TransferOutcome& o) noexcept {
  switch (o.status) {
    case TransferStatus::Completed: return 0;
    case TransferStatus::Stall: return -EPIPE;
    case TransferStatus::Cancelled: return -ECONNRESET;
    case TransferStatus::InvalidArgument: return -EINVAL;
    case TransferStatus::Disconnected: return -ENODEV;
    case TransferStatus::Fault:
    case TransferStatus::Lost:  // a host-side state; a device never reports it
      return o.os_code == EOVERFLOW ? -EOVERFLOW : -EPROTO;
    case TransferStatus::Unknown: {
      // An OS error code travels as the URB status, but the host library maps it onto its own error classes.
      const int code = o.os_code < 0 ? -o.os_code : o.os_code;
      return code > 0 && code < 4096 ? -code : -EPROTO;
    }
  }
  return -EPROTO;
}

void put_ret_submit(std::vector<uint8_t>& out, uint32_t seqnum, int32_t status, std::span<const uint8_t> data,
                    std::optional<size_t> actual) {
  put32(out, kRetSubmit);
  put32(out, seqnum);
  put32(out, 0);  // devid, direction and ep are the client's fields
  put32(out, 0);
  put32(out, 0);
  put32(out, uint32_t(status));
  put32(out, uint32_t(actual.value_or(data.size())));
  put32(out, 0);  // start_frame
  put32(out, 0);  // number_of_packets: not isochronous
  put32(out, 0);  // error_count
  out.insert(out.end(), 8, 0);
  out.insert(out.end(), data.begin(), data.end());
}

void put_ret_unlink(std::vector<uint8_t>& out, uint32_t seqnum, int32_t status) {
  put32(out, kRetUnlink);
  put32(out, seqnum);
  put32(out, 0);
  put32(out, 0);
  put32(out, 0);
  put32(out, uint32_t(status));
  out.insert(out.end(), 24, 0);
}

}  // namespace tavro::sim::usbip
