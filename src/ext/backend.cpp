// Backend selection. The simulator lives in its own extension module and hands its backend over through a
// capsule, so the product's surface carries nothing of it and everything above the seam is the same code.
#include "ext/backend.hpp"

#include <cstring>

#include "ext/capsule.hpp"
#include "ext/pyutil.hpp"
#include "platform/platform.hpp"
#include "usb/libusb/libusb_backend.hpp"

namespace tavro::py {
namespace {
usb::Backend* g_backend = nullptr;
PyObject* g_sim_module = nullptr;  // kept imported for the life of the process
}  // namespace

int init_backend() {
  if (g_backend) return 0;
  const std::optional<std::string> env = platform::environment("TAVRO_USB_BACKEND");
  const char* choice = env ? env->c_str() : nullptr;
  if (!choice || !*choice || std::strcmp(choice, "libusb") == 0) {
    g_backend = &usb::libusb_backend();
    return 0;
  }
  if (std::strcmp(choice, "simulator") != 0) {
    PyErr_Format(PyExc_ImportError, "TAVRO_USB_BACKEND must be 'libusb' or 'simulator', not '%s'", choice);
    return -1;
  }
  Ref module(PyImport_ImportModule(kSimModuleName));
  if (!module) return -1;
  Ref capsule(PyObject_GetAttrString(module.get(), kBackendAttribute));
  if (!capsule) return -1;
  auto* record = static_cast<BackendCapsule*>(PyCapsule_GetPointer(capsule.get(), kBackendCapsuleName));
  if (!record) return -1;
  if (record->abi_version != kBackendAbiVersion || !record->backend) {
    PyErr_Format(PyExc_ImportError, "tavro_sim backend version %u does not match this driver (%u)", record->abi_version,
                 kBackendAbiVersion);
    return -1;
  }
  g_sim_module = module.release();
  g_backend = record->backend;
  return 0;
}

usb::Backend& backend() noexcept { return *g_backend; }

}  // namespace tavro::py
