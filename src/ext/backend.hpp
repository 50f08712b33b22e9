// The process's USB backend, chosen once from TAVRO_USB_BACKEND: "libusb" (or unset) for real adapters,
// "simulator" for the simulated adapters of the tavro_sim package.
#pragma once

#include "usb/host.hpp"

namespace tavro::py {

// Resolves the backend on first call (interpreter lock held). Returns -1 with an ImportError set on failure.
int init_backend();
// The resolved backend; init_backend() has succeeded before any method runs.
usb::Backend& backend() noexcept;

}  // namespace tavro::py
