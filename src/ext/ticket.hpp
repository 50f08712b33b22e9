// NativeTxTicket: one confirmed transmission. Only NativeTavroDevice.submit_frame creates them.
//
//   t = dev.submit_frame(...)
//   t.id() -> int                  # ticket id
//   t.usb_error() -> str | None    # the write ended uncertain: the frame may or may not have left the host
//   t.wait(timeout_ms) -> dict     # the adapter's verdict, or "uncertain" with a reason; TimeoutError if pending
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ext/python.hpp"
#include "handle/handle.hpp"
#include "session/ticket.hpp"

namespace tavro::py {

struct TicketPayload {
  TxTicketHandle ticket;
  std::optional<std::string> usb_error;
  std::weak_ptr<DeviceShared> device;  // never keeps a closed device alive
  uint64_t generation = 0;
};

PyObject* create_ticket_type(PyObject* module);
// A new ticket of the module that created `device_type` (interpreter lock held); nullptr with an exception set.
PyObject* new_ticket(PyTypeObject* device_type, TicketPayload payload);
// The payload of a NativeTxTicket of the module that created `device_type`, or nullptr (TypeError set) when `o`
// is not one.
const TicketPayload* ticket_payload(PyTypeObject* device_type, PyObject* o, const char* fname, const char* arg);

}  // namespace tavro::py
