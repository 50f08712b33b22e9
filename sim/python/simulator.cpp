// Creating the simulator singleton, and finding its adapters by id and its buses by number.
#include "python/simulator.hpp"

#include <string>

#include "platform/platform.hpp"
#include "python/convert.hpp"

namespace tavro::sim::python {

Simulator& simulator() {
  static Simulator* sim = [] {
    auto* s = new Simulator();
    const std::string list = platform::environment("TAVRO_SIM_ADAPTERS").value_or("tav.io:CANH0001");
    size_t pos = 0;
    while (pos <= list.size()) {
      size_t end = list.find(',', pos);
      if (end == std::string::npos) end = list.size();
      std::string serial = list.substr(pos, end - pos);
      const auto first = serial.find_first_not_of(" \t");
      const auto last = serial.find_last_not_of(" \t");
      serial = first == std::string::npos ? "" : serial.substr(first, last - first + 1);
      if (!serial.empty()) {
        FirmwareProfile p;
        p.serial = serial;
        auto a = s->hub.plug(std::move(p));
        s->known[a->id()] = a;
      }
      pos = end + 1;
    }
    return s;
  }();
  return *sim;
}

std::shared_ptr<SimAdapter> adapter_or_raise(PyObject* id_obj) {
  const unsigned long long id = PyLong_AsUnsignedLongLong(id_obj);
  if (id == (unsigned long long)-1 && PyErr_Occurred()) return nullptr;
  Simulator& s = simulator();
  std::lock_guard l(s.mu);
  auto it = s.known.find(id);
  if (it == s.known.end()) {
    PyErr_Format(PyExc_ValueError, "no simulated adapter with id %llu", id);
    return nullptr;
  }
  return it->second;
}

std::shared_ptr<SimBus> bus_or_raise(unsigned int index) {
  if (index >= SimHub::kMaxBuses) {
    PyErr_Format(PyExc_ValueError, "bus must be 0..%d", int(SimHub::kMaxBuses) - 1);
    return nullptr;
  }
  GilRelease u;  // a new bus starts its thread
  return simulator().hub.bus(index);
}

}  // namespace tavro::sim::python
