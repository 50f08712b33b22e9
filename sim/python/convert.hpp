// Conversions between Python objects and the simulator's values for the control functions of tavro_sim._native:
// each one sets a Python exception and returns false (or nullptr) on failure.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "ext/pyref.hpp"

namespace tavro::sim::python {

using tavro::py::Ref;
using GilRelease = tavro::py::BasicGilRelease<>;

inline bool to_u64(PyObject* o, uint64_t max, uint64_t* out, const char* what) {
  if (!PyLong_Check(o) || PyBool_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int", what);
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == (unsigned long long)-1 && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s is out of range", what);
    return false;
  }
  if (v > max) {
    PyErr_Format(PyExc_ValueError, "%s is out of range", what);
    return false;
  }
  *out = v;
  return true;
}

template <typename T>
inline bool to_uint(PyObject* o, T* out, const char* what) {
  uint64_t v;
  if (!to_u64(o, uint64_t(T(~T(0))), &v, what)) return false;
  *out = T(v);
  return true;
}

inline bool to_bool(PyObject* o, bool* out, const char* what) {
  const int r = PyObject_IsTrue(o);
  if (r < 0) return false;
  *out = r != 0;
  return true;
}

// bytes (or str, UTF-8) into a byte vector.
inline bool to_bytes(PyObject* o, std::vector<uint8_t>* out, const char* what) {
  char* p = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_Check(o)) {
    if (PyBytes_AsStringAndSize(o, &p, &n) < 0) return false;
  } else if (PyByteArray_Check(o)) {
    p = PyByteArray_AsString(o);
    n = PyByteArray_Size(o);
  } else if (PyUnicode_Check(o)) {
    const char* u = PyUnicode_AsUTF8AndSize(o, &n);
    if (!u) return false;
    p = const_cast<char*>(u);
  } else {
    PyErr_Format(PyExc_TypeError, "%s must be bytes", what);
    return false;
  }
  out->assign(reinterpret_cast<uint8_t*>(p), reinterpret_cast<uint8_t*>(p) + n);
  return true;
}

template <size_t N>
inline bool to_fixed_bytes(PyObject* o, std::array<uint8_t, N>* out, const char* what) {
  std::vector<uint8_t> v;
  if (!to_bytes(o, &v, what)) return false;
  if (v.size() > N) {
    PyErr_Format(PyExc_ValueError, "%s must be at most %d bytes", what, int(N));
    return false;
  }
  out->fill(0);
  std::copy(v.begin(), v.end(), out->begin());
  return true;
}

// A sequence of exactly N ints.
template <typename T, size_t N>
inline bool to_tuple(PyObject* o, std::array<T, N>* out, const char* what) {
  Ref seq(PySequence_Fast(o, what));
  if (!seq) return false;
  if (PySequence_Size(seq.get()) != Py_ssize_t(N)) {
    PyErr_Format(PyExc_ValueError, "%s must have %d items", what, int(N));
    return false;
  }
  for (size_t i = 0; i < N; ++i) {
    Ref item(PySequence_GetItem(seq.get(), Py_ssize_t(i)));
    if (!item || !to_uint(item.get(), &(*out)[i], what)) return false;
  }
  return true;
}

inline PyObject* new_bytes(const uint8_t* p, size_t n) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), Py_ssize_t(n));
}

template <typename T, size_t N>
inline PyObject* new_tuple(const std::array<T, N>& a) {
  Ref t(PyTuple_New(Py_ssize_t(N)));
  if (!t) return nullptr;
  for (size_t i = 0; i < N; ++i) {
    PyObject* v = PyLong_FromUnsignedLongLong(a[i]);
    if (!v || PyTuple_SetItem(t.get(), Py_ssize_t(i), v) < 0) return nullptr;
  }
  return t.release();
}

// Sets d[key] = v and drops the reference to v; false on failure.
inline bool set_item(PyObject* d, const char* key, PyObject* v) {
  if (!v) return false;
  const int r = PyDict_SetItemString(d, key, v);
  Py_DECREF(v);
  return r == 0;
}

inline bool set_u(PyObject* d, const char* key, unsigned long long v) {
  return set_item(d, key, PyLong_FromUnsignedLongLong(v));
}
inline bool set_b(PyObject* d, const char* key, bool v) { return set_item(d, key, PyBool_FromLong(v)); }

}  // namespace tavro::sim::python
