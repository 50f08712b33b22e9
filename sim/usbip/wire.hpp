// The USB/IP wire format (the kernel's usbip protocol, version 1.1.1): the handshake's operation codes and device
// record, the 48-byte URB command header, and the replies a device sends. Every field is big-endian except the
// setup packet, which travels as on the bus.
//
//   OP_REQ_DEVLIST -> OP_REP_DEVLIST (device records, each with its interface list)
//   OP_REQ_IMPORT busid -> OP_REP_IMPORT (status, device record); then URBs:
//   CMD_SUBMIT (+ OUT data) -> RET_SUBMIT (+ IN data);  CMD_UNLINK seqnum -> RET_UNLINK
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "adapter/adapter.hpp"
#include "usbip/descriptors.hpp"

namespace tavro::sim::usbip {

inline constexpr uint16_t kVersion = 0x0111;
inline constexpr uint16_t kOpReqDevlist = 0x8005, kOpRepDevlist = 0x0005;
inline constexpr uint16_t kOpReqImport = 0x8003, kOpRepImport = 0x0003;
inline constexpr uint32_t kCmdSubmit = 1, kCmdUnlink = 2, kRetSubmit = 3, kRetUnlink = 4;
inline constexpr size_t kHeaderSize = 48;
inline constexpr size_t kBusidSize = 32;

uint32_t get32(const uint8_t* p) noexcept;
uint16_t get16(const uint8_t* p) noexcept;
void put32(std::vector<uint8_t>& v, uint32_t x);
void put16(std::vector<uint8_t>& v, uint16_t x);
// A zero-padded text field of `width` bytes (cut to leave at least one zero).
void put_text(std::vector<uint8_t>& v, const std::string& s, size_t width);

// The device record of OP_REP_DEVLIST / OP_REP_IMPORT (without the interface list).
void put_device_record(std::vector<uint8_t>& v, const std::string& busid, uint32_t busnum, uint32_t devnum,
                       const DeviceDescriptors& d, const FirmwareProfile& p);

// A URB command header. CMD_UNLINK carries the sequence number to unlink in `flags_or_unlink`.
struct Header {
  uint32_t command, seqnum, devid, direction, ep;
  uint32_t flags_or_unlink, length, start_frame, packets, interval;
  usb::ControlSetup setup;
};
// Decodes the 48 header bytes. nullopt for what no device of ours can take (a broken client: the connection
// closes): an unknown command, a bad direction or endpoint number, a transfer above `max_transfer`, isochronous
// packets.
std::optional<Header> parse_header(const uint8_t* p, uint32_t max_transfer) noexcept;

// The URB status a transfer outcome shows the host, as a negative errno.
int32_t urb_status(const usb::TransferOutcome& o) noexcept;

// RET_SUBMIT: data only for IN transfers; `actual` defaults to the data's length.
void put_ret_submit(std::vector<uint8_t>& out, uint32_t seqnum, int32_t status, std::span<const uint8_t> data,
                    std::optional<size_t> actual = {});
void put_ret_unlink(std::vector<uint8_t>& out, uint32_t seqnum, int32_t status);

}  // namespace tavro::sim::usbip
