// The process's one simulator: the hub of simulated adapters and their buses, the seam backend the driver takes
// through a capsule, and the USB/IP server.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "backend/backend.hpp"
#include "ext/capsule.hpp"
#include "ext/pyref.hpp"
#include "usbip/server.hpp"

namespace tavro::sim::python {

struct Simulator {
  SimHub hub{[] { return SimBus::create(); }};
  SimBackend backend{hub};
  py::BackendCapsule capsule{py::kBackendAbiVersion, &backend};
  usbip::UsbipServer usbip{hub};
  std::mutex mu;
  // Every adapter plugged since the last reset, so that records stay readable after an unplug.
  std::map<uint64_t, std::shared_ptr<SimAdapter>> known;  // guarded by mu
};

// Created on first use (plugging the adapters of $TAVRO_SIM_ADAPTERS) and never destroyed: its bus thread and the
// driver's open devices may outlive the module. Call it with the interpreter lock released.
Simulator& simulator();

// The adapter with the id `id_obj` holds (plugged since the last reset), or nullptr with ValueError set.
std::shared_ptr<SimAdapter> adapter_or_raise(PyObject* id_obj);

// The hub's bus `index` (made when first asked for), or nullptr with ValueError set.
std::shared_ptr<SimBus> bus_or_raise(unsigned int index);

}  // namespace tavro::sim::python
