// The libusb-1.0 backend of the USB host seam: real adapters on the host's USB stack.
#pragma once

#include "usb/host.hpp"

namespace tavro::usb {

// The process-wide libusb backend, created on first use (thread-safe). It is intentionally never destroyed, so
// that no static destructor has to stop libusb's event thread while the process exits.
Backend& libusb_backend();

}  // namespace tavro::usb
