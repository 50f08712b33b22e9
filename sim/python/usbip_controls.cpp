// tavro_sim._native's USB/IP controls: listening, serving a socket, an adapter's USB/IP identity.
#include "python/controls.hpp"

#include <string>

#include "python/convert.hpp"
#include "python/simulator.hpp"

namespace tavro::sim::python {

PyObject* py_usbip_listen(PyObject*, PyObject* args) {
  const char* host;
  unsigned short port;
  if (!PyArg_ParseTuple(args, "sH", &host, &port)) return nullptr;
  std::string error;
  int bound;
  {
    GilRelease u;
    bound = simulator().usbip.listen(host, port, error);
  }
  if (bound < 0) return PyErr_Format(PyExc_OSError, "USB/IP server: %s", error.c_str());
  return PyLong_FromLong(bound);
}

PyObject* py_usbip_stop(PyObject*, PyObject*) {
  {
    GilRelease u;
    simulator().usbip.stop();
  }
  Py_RETURN_NONE;
}

PyObject* py_usbip_port(PyObject*, PyObject*) { return PyLong_FromLong(simulator().usbip.port()); }

PyObject* py_usbip_serve_fd(PyObject*, PyObject* args) {
  PyObject* id;
  int fd;
  if (!PyArg_ParseTuple(args, "Oi", &id, &fd)) return nullptr;
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  using tavro::sim::usbip::UsbipServer;
  if (const char* why = UsbipServer::unavailable()) return PyErr_Format(PyExc_OSError, "USB/IP server: %s", why);
  const int own = UsbipServer::duplicate_socket(fd);
  if (own < 0) return PyErr_SetFromErrno(PyExc_OSError);
  bool served;
  {
    GilRelease u;
    served = simulator().usbip.serve(a, own);
  }
  return PyBool_FromLong(served);
}

PyObject* py_usbip_identity(PyObject*, PyObject* id) {
  auto a = adapter_or_raise(id);
  if (!a) return nullptr;
  using tavro::sim::usbip::UsbipServer;
  uint32_t speed;
  {
    GilRelease u;
    speed = UsbipServer::speed(*a);
  }
  return Py_BuildValue("(skk)", UsbipServer::busid(*a).c_str(), (unsigned long)UsbipServer::devid(*a),
                       (unsigned long)speed);
}

}  // namespace tavro::sim::python
