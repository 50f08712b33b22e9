// The USB host seam: the only operations the driver needs from a USB host stack. Two backends implement it,
// libusb (real adapters) and the simulated adapter; nothing above this header knows which one runs.
//
// Ownership: an opened Device owns nothing else; a claimed Interface keeps its Device alive; endpoint pipes keep
// their Interface alive. Dropping the last reference releases endpoint, then interface, then device.
// Outcomes are values, never exceptions. Every operation may be called from any thread unless stated.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tavro::usb {

// How a transfer or request ended.
enum class TransferStatus : uint8_t {
  Completed = 0,
  Cancelled = 1,  // cancelled by a time-out or an explicit cancel
  Stall = 2,
  Disconnected = 3,
  Fault = 4,
  InvalidArgument = 5,
  Unknown = 6,  // os_code says which
  Lost = 7,     // a cancelled transfer never came back from the host stack: the device is unusable
};

const char* transfer_status_name(TransferStatus s) noexcept;

struct TransferOutcome {
  TransferStatus status = TransferStatus::Completed;
  int os_code = 0;    // for Unknown; for Fault the errno a host controller gives, where known (0 otherwise)
  size_t actual = 0;  // bytes transferred (IN: received; OUT: accepted), also for partial completions
  bool ok() const noexcept { return status == TransferStatus::Completed; }
};

// A failed host operation (enumerate, open, claim, endpoint open): the outcome class plus the host library's text.
struct HostError {
  TransferStatus status = TransferStatus::Fault;
  int os_code = 0;
  std::string text;
  bool access_denied = false;  // the host refused for lack of permission (the device node's access rights)
};

template <typename T>
struct HostResult {
  std::optional<T> value;  // set on success
  HostError error;         // meaningful when !value
  bool ok() const noexcept { return value.has_value(); }
  static HostResult success(T v) {
    HostResult r;
    r.value.emplace(std::move(v));
    return r;
  }
  // NOLINTNEXTLINE(performance-unnecessary-value-param): `e` is moved from; clang-tidy 14 misses the move here
  static HostResult failure(HostError e) {
    HostResult r;
    r.error = std::move(e);
    return r;
  }
};

using Duration = std::chrono::nanoseconds;
// A wait without a time-out (bulk IN reads that are woken by their interrupt instead).
inline constexpr Duration kNoTimeout = Duration::max();

enum class EndpointType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct EndpointDescriptor {
  uint8_t address = 0;  // with the direction bit (0x80 = IN)
  EndpointType type = EndpointType::Bulk;
  uint16_t max_packet_size = 0;
};

// Setup packet fields of a control transfer.
struct ControlSetup {
  uint8_t request_type = 0;  // bmRequestType; bit 7 set = device-to-host
  uint8_t request = 0;       // bRequest
  uint16_t value = 0;        // wValue
  uint16_t index = 0;        // wIndex
  uint16_t length = 0;       // wLength
};

// Bulk IN endpoint with a queue of submitted transfers. Used by one thread at a time.
class BulkInPipe {
 public:
  virtual ~BulkInPipe() = default;  // cancels outstanding transfers and waits for their return
  virtual const EndpointDescriptor& descriptor() const noexcept = 0;
  // Queues one more transfer of `length` bytes behind the outstanding ones. Not Completed if it was refused.
  virtual TransferOutcome submit(size_t length) = 0;
  virtual size_t outstanding() const noexcept = 0;

  struct Completion {
    TransferOutcome outcome;
    // Received bytes; valid until the next call of wait_oldest, submit or cancel_all on this pipe.
    std::span<const uint8_t> data;
  };
  // Waits up to `timeout` (kNoTimeout: for as long as it takes) for the oldest outstanding transfer to complete and
  // takes it off the queue. nullopt when it did not complete in time (it stays queued), when nothing is outstanding,
  // or when interrupt() ended the wait.
  virtual std::optional<Completion> wait_oldest(Duration timeout) = 0;
  // Ends the wait_oldest in progress at once, or else the next one: the request stays until a wait takes it (a wait
  // that finds the oldest transfer complete returns that and takes the request too). Any thread. This is how a
  // reader that waits without a time-out is woken for anything but data.
  virtual void interrupt() noexcept = 0;
  // Whether the last wait_oldest returned nullopt because of interrupt(). For the waiting thread.
  virtual bool interrupted() const noexcept = 0;
  // Cancels every outstanding transfer and waits for each to return, at most `timeout` in all. Each returned
  // transfer is reported to `on_return` in queue order (cancelled ones with whatever they had received). Returns
  // false when some transfer had not returned by then (they are still reclaimed before destruction).
  virtual bool cancel_all(Duration timeout,
                          const std::function<void(const TransferOutcome&, std::span<const uint8_t>)>& on_return) = 0;
  // Clears a halt on this endpoint (after a Stall).
  virtual TransferOutcome clear_halt() = 0;
};

// Bulk OUT endpoint with at most one transfer in flight. Exclusive: one pipe per endpoint at a time.
class BulkOutPipe {
 public:
  virtual ~BulkOutPipe() = default;  // cancels a transfer in flight and waits for its return
  virtual const EndpointDescriptor& descriptor() const noexcept = 0;
  // Copies `data` into the transfer buffer and submits it. Not Completed if it was refused (nothing in flight).
  virtual TransferOutcome submit(std::span<const uint8_t> data) = 0;
  // Waits up to `timeout` for the transfer in flight to complete. nullopt on time-out (still in flight).
  virtual std::optional<TransferOutcome> wait(Duration timeout) = 0;
  // Requests cancellation of the transfer in flight; its completion (often Cancelled) is still collected by wait().
  virtual void cancel() = 0;
  virtual TransferOutcome clear_halt() = 0;
};

class Interface;

// An opened USB device.
//
// A host stack may fail to give back a transfer that was cancelled. The libusb backend waits for it a bounded time
// only, keeps its memory reserved, and from then on answers every transfer of the device with Lost at once; such a
// device is released only as far as is safe (its handle stays open until the transfer returns or the process ends).
class Device : public std::enable_shared_from_this<Device> {
 public:
  virtual ~Device() = default;
  // Claims the interface exclusively.
  virtual HostResult<std::shared_ptr<Interface>> claim_interface(uint8_t number) = 0;
  // Blocking control transfer on endpoint 0. IN: `data` receives up to setup.length bytes; OUT: `data` holds
  // setup.length bytes. A time-out cancels the request and waits for it; the outcome is then Cancelled.
  virtual TransferOutcome control_transfer(const ControlSetup& setup, std::span<uint8_t> data, Duration timeout) = 0;
};

// A claimed interface (keeps its Device alive).
class Interface {
 public:
  virtual ~Interface() = default;  // releases the interface
  virtual uint8_t number() const noexcept = 0;
  virtual Device& device() noexcept = 0;
  // The endpoints of the active alternate setting.
  virtual std::vector<EndpointDescriptor> endpoints() const = 0;
  // Open an endpoint from the descriptors. Fails if it is not described, not bulk, of the wrong direction, or (OUT)
  // already open.
  virtual HostResult<std::unique_ptr<BulkInPipe>> open_bulk_in(uint8_t address) = 0;
  virtual HostResult<std::unique_ptr<BulkOutPipe>> open_bulk_out(uint8_t address) = 0;
};

// One device seen by enumeration.
struct EnumeratedDevice {
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  std::optional<std::string> serial;      // absent when the device has none or it could not be read
  std::optional<HostError> serial_error;  // why the serial could not be read (absent: it has none, or it was read)
  std::string bus_id;                     // host library's bus identifier text
  uint8_t address = 0;
  std::shared_ptr<void> token;  // backend's reference used by open()
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual const char* name() const noexcept = 0;
  virtual HostResult<std::vector<EnumeratedDevice>> enumerate() = 0;
  // Opens the device exclusively.
  virtual HostResult<std::shared_ptr<Device>> open(const EnumeratedDevice& device) = 0;
};

inline const char* transfer_status_name(TransferStatus s) noexcept {
  switch (s) {
    case TransferStatus::Completed: return "Completed";
    case TransferStatus::Cancelled: return "Cancelled";
    case TransferStatus::Stall: return "Stall";
    case TransferStatus::Disconnected: return "Disconnected";
    case TransferStatus::Fault: return "Fault";
    case TransferStatus::InvalidArgument: return "InvalidArgument";
    case TransferStatus::Unknown: return "Unknown";
    case TransferStatus::Lost: return "Lost";
  }
  return "Unknown";
}

}  // namespace tavro::usb
