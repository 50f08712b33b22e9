// Fault injection as data: a rule names what it hits (a control request, a bulk endpoint, or a host operation), how
// many times, and what happens instead of the normal answer.
//
//   rule = FaultRule{.target = Control, .request = Bus, .direction = In, .count = 2, .action = Reply, .payload = ...}
//   faults.add(rule)          # the next 2 Bus IN requests get that payload
//   faults.take(event)        # the front-end asks once per event; a matching rule is consumed
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "usb/host.hpp"

namespace tavro::sim {

enum class FaultTarget : uint8_t {
  Control = 0,       // a control request (request number, direction, optionally wValue)
  BulkIn = 1,        // a bulk IN transfer on `endpoint` (0 = any)
  BulkOut = 2,       // a bulk OUT transfer
  Enumerate = 3,     // the backend's device enumeration
  Open = 4,          // opening the device
  Claim = 5,         // claiming the interface
  EndpointOpen = 6,  // opening an endpoint pipe (`endpoint`, 0 = any)
  SerialRead = 7,    // reading the serial number during enumeration (the adapter is listed without one)
  Unlink = 8,        // the host's cancellation of a pending request on `endpoint` (0 = any); Timeout: it never
                     // comes back (USB/IP: the unlink is never answered, so the host's stack keeps the cancelled
                     // request until the connection closes; the seam: a bulk IN queue's cancel_all gives up). The
                     // seam also takes: Delay (bulk OUT: it comes back that much later), Reply (bulk IN: it had
                     // received `payload`), and the ending actions (bulk IN: it comes back with their status)
  ClearHalt = 9,     // the host's clearing of a halt on `endpoint` (0 = any): a standard request the device answers;
                     // it ends with the rule's status and the halt stays
  Submit = 10,       // the host stack refuses to submit a bulk transfer on `endpoint` (0 = any) with the rule's status
};

enum class FaultDirection : uint8_t { Any = 0, In = 1, Out = 2 };

enum class FaultAction : uint8_t {
  Stall = 0,          // the request or transfer ends Stall
  Timeout = 1,        // it never completes: it ends Cancelled when the caller's time-out cancels it
  Disconnect = 2,     // the adapter is unplugged at this moment
  Fault = 3,          // ends Fault (a host controller error)
  ShortReply = 4,     // at most `length` bytes of the real reply / of the transfer's data
  LongReply = 5,      // the real reply padded with zero bytes to `length` (beyond wLength: an overflow, Fault)
  Reply = 6,          // `payload` instead of the real reply (control IN, bulk IN); the firmware is not asked
  Delay = 7,          // answered normally after `delay`; a control request delayed past its time-out is Cancelled
  PartialAccept = 8,  // bulk OUT: only the first `length` bytes reach the adapter, the transfer completes short
  OsError = 9,        // ends Unknown with `os_code`
  Expire = 10,        // ends Cancelled at once, as if the caller's time-out had passed (a time-out without the wait)
};

struct FaultRule {
  FaultTarget target = FaultTarget::Control;
  uint8_t request = 0;  // Control: bRequest
  FaultDirection direction = FaultDirection::Any;
  std::optional<uint16_t> value;  // Control: only requests with this wValue
  uint8_t endpoint = 0;           // BulkIn / BulkOut / EndpointOpen: address, 0 = any
  uint32_t skip = 0;              // let this many matching events pass first
  int64_t count = 1;              // events it applies to; negative = every one from now on
  FaultAction action = FaultAction::Stall;
  uint32_t length = 0;                // ShortReply / LongReply / PartialAccept
  std::vector<uint8_t> payload;       // Reply
  std::chrono::nanoseconds delay{0};  // Delay
  int os_code = 0;                    // OsError
  std::string text;                   // host error text for the host operations (a default otherwise)
};

// One event a rule may match.
struct FaultEvent {
  FaultTarget target = FaultTarget::Control;
  uint8_t request = 0;
  bool in = false;
  uint16_t value = 0;
  uint8_t endpoint = 0;
};

bool fault_matches(const FaultRule& rule, const FaultEvent& event) noexcept;

// The transfer status a rule's action ends a request with (Completed for the actions that still answer).
usb::TransferStatus fault_status(const FaultRule& rule) noexcept;
// The host error a host-operation rule produces.
usb::HostError fault_host_error(const FaultRule& rule);

// Thread-safe ordered rule list. The first rule that matches and has used up its skips applies.
class FaultSet {
 public:
  void add(FaultRule rule);
  void clear();
  size_t size() const;
  std::vector<FaultRule> rules() const;
  // Consumes one application of the first applicable rule.
  std::optional<FaultRule> take(const FaultEvent& event);

 private:
  mutable std::mutex mu_;
  std::vector<FaultRule> rules_;
};

}  // namespace tavro::sim
