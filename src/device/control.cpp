// Vendor control-request transport of UsbAdapter: setup packets, time-outs, error mapping and the transport's
// debug and failure log lines (their "[path:line] " prefixes are fixed parts of the message text that log
// consumers match on, so they do not follow this file's layout).
#include <algorithm>
#include <string>
#include <vector>

#include "core/log.hpp"
#include "device/adapter.hpp"
#include "device/usb_errors.hpp"

namespace tavro {
namespace {

constexpr log::Target kTarget = log::Target::Device;
constexpr const char* kSrc = "[crates/tavro-usb/src/device:";

void append_hex(std::string& s, unsigned v, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = digits - 1; i >= 0; --i) s += kDigits[(v >> (4 * i)) & 0xF];
}

std::string hex(unsigned v, int digits) {
  std::string s;
  append_hex(s, v, digits);
  return s;
}

// "[c1, 00, 18]"
std::string hex_list(const uint8_t* p, size_t n) {
  std::string s = "[";
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ", ";
    append_hex(s, p[i], 2);
  }
  s += ']';
  return s;
}

std::string prefix(int line) { return std::string(kSrc) + std::to_string(line) + "] "; }

std::string request_line(const char* dir, ControlCommand cmd, uint16_t value, uint8_t index, size_t len) {
  return std::string("Control ") + dir + ": bRequest=" + std::to_string(static_cast<unsigned>(cmd)) + " (" +
         protocol::command_name(cmd) + "), wValue=0x" + hex(value, 4) + ", wIndex=" + std::to_string(index) +
         ", len=" + std::to_string(len);
}

// One line describing the failed request, enough to replay it with a USB analyser.
std::string failure_dump(ControlCommand cmd, const usb::ControlSetup& setup, const uint8_t* out_data, size_t out_len,
                         bool is_out) {
  const uint8_t raw[8] = {setup.request_type,    setup.request,
                          uint8_t(setup.value),  uint8_t(setup.value >> 8),
                          uint8_t(setup.index),  uint8_t(setup.index >> 8),
                          uint8_t(setup.length), uint8_t(setup.length >> 8)};
  std::string s = std::string("command=") + protocol::command_name(cmd) + " bmRequestType=0x" +
                  hex(setup.request_type, 2) + " (vendor/interface) bRequest=0x" + hex(setup.request, 2) + " (" +
                  std::to_string(setup.request) + ") wValue=0x" + hex(setup.value, 4) + " wIndex=0x" +
                  hex(setup.index, 4) + " wLength=" + std::to_string(setup.length) +
                  " timeout-ms=1000 setup=" + hex_list(raw, 8) + " ";
  if (is_out) {
    s += "OUT-data=" + hex_list(out_data, out_len) + " omitted-bytes=0";
  } else {
    s += "IN-data=unavailable (transfer failed)";
  }
  return s;
}

}  // namespace

Status UsbAdapter::control_out(ControlCommand cmd, uint16_t value, std::span<const uint8_t> payload) {
  if (payload.size() > 0xFFFF) return DeviceError::invalid_parameter("control payload exceeds 65535 bytes");
  TAVRO_LOG(kTarget, log::Level::Debug,
            prefix(632) + request_line("OUT", cmd, value, interface_number(), payload.size()));

  // The host stack may write into the buffer (it is shared with IN transfers), so never hand it the caller's.
  std::vector<uint8_t> buffer(payload.begin(), payload.end());
  usb::ControlSetup setup;
  setup.request_type = protocol::kRequestTypeOut;
  setup.request = static_cast<uint8_t>(cmd);
  setup.value = value;
  setup.index = interface_number();
  setup.length = static_cast<uint16_t>(payload.size());

  const usb::TransferOutcome outcome = device_->control_transfer(setup, buffer, kControlTimeout);
  if (outcome.ok()) return Ok{};
  if (outcome.status == usb::TransferStatus::Lost) lost_.store(true, std::memory_order_relaxed);
  if (outcome.status == usb::TransferStatus::Disconnected) mark_gone();

  TAVRO_LOG(kTarget, log::Level::Error,
            prefix(652) + "Control OUT FAILED: " + transfer_error_name(outcome) + "; serial=" + serial_ + "; " +
                failure_dump(cmd, setup, payload.data(), payload.size(), true));
  return usb_error(outcome);
}

Result<std::vector<uint8_t>> UsbAdapter::control_in(ControlCommand cmd, uint16_t value, uint16_t length,
                                                    std::chrono::nanoseconds timeout) {
  if (timeout <= std::chrono::nanoseconds::zero()) return DeviceError::timeout();
  TAVRO_LOG(kTarget, log::Level::Debug, prefix(671) + request_line("IN", cmd, value, interface_number(), length));

  std::vector<uint8_t> buffer(length);
  usb::ControlSetup setup;
  setup.request_type = protocol::kRequestTypeIn;
  setup.request = static_cast<uint8_t>(cmd);
  setup.value = value;
  setup.index = interface_number();
  setup.length = length;

  const usb::TransferOutcome outcome = device_->control_transfer(setup, buffer, timeout);
  if (!outcome.ok()) {
    if (outcome.status == usb::TransferStatus::Lost) lost_.store(true, std::memory_order_relaxed);
    if (outcome.status == usb::TransferStatus::Disconnected) mark_gone();
    TAVRO_LOG(kTarget, log::Level::Error,
              prefix(694) + "Control IN FAILED: " + transfer_error_name(outcome) + "; serial=" + serial_ + "; " +
                  failure_dump(cmd, setup, nullptr, 0, false));
    return usb_error(outcome);
  }
  buffer.resize(std::min<size_t>(outcome.actual, length));
  TAVRO_LOG(kTarget, log::Level::Debug,
            prefix(700) + "Control IN received " + std::to_string(buffer.size()) + " bytes");
  return buffer;
}

}  // namespace tavro
