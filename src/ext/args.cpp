// Argument conversion with fixed, argument-naming error texts.
#include "ext/args.hpp"

#include <cstring>
#include <limits>

#include "ext/pyutil.hpp"

namespace tavro::py {
namespace {

std::string type_name(PyObject* o) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  const char* s = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
  if (!s) {
    PyErr_Clear();
    return "object";
  }
  return s;
}

bool overflow(bool too_small) {
  PyErr_SetString(PyExc_OverflowError,
                  too_small ? "number too small to fit in target type" : "number too large to fit in target type");
  return false;
}

}  // namespace

bool type_error(PyObject* o, const char* fname, const char* arg, const char* expected) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", fname, arg, expected, type_name(o).c_str());
  return false;
}

bool parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<const char* const> names, size_t required, PyObject** out) {
  const size_t n = names.size();
  for (size_t i = 0; i < n; ++i) out[i] = nullptr;
  if (nargs < 0 || static_cast<size_t>(nargs) > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", fname, n, n == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    if (nkw < 0) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GetItem(kwnames, k);
      if (!key) return false;
      size_t idx = n;
      for (size_t i = 0; i < n; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
          idx = i;
          break;
        }
      }
      if (idx == n) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
        return false;
      }
      if (out[idx]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, names[idx]);
        return false;
      }
      out[idx] = args[nargs + k];
    }
  }
  for (size_t i = 0; i < required; ++i) {
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname, names[i], i + 1);
      return false;
    }
  }
  return true;
}

bool to_uint(PyObject* o, const char* fname, const char* arg, uint64_t max, uint64_t* out) {
  if (!PyLong_Check(o)) return type_error(o, fname, arg, "int");
  int ovf = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &ovf);
  if (v == -1 && PyErr_Occurred()) return false;
  if (ovf < 0 || (ovf == 0 && v < 0)) return overflow(true);
  uint64_t u;
  if (ovf > 0) {
    u = PyLong_AsUnsignedLongLong(o);
    if (u == static_cast<uint64_t>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      return overflow(false);
    }
  } else {
    u = static_cast<uint64_t>(v);
  }
  if (u > max) return overflow(false);
  *out = u;
  return true;
}

bool to_u32(PyObject* o, const char* f, const char* a, uint32_t* out) {
  uint64_t v;
  if (!to_uint(o, f, a, UINT32_MAX, &v)) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}
bool to_u16(PyObject* o, const char* f, const char* a, uint16_t* out) {
  uint64_t v;
  if (!to_uint(o, f, a, UINT16_MAX, &v)) return false;
  *out = static_cast<uint16_t>(v);
  return true;
}
bool to_u8(PyObject* o, const char* f, const char* a, uint8_t* out) {
  uint64_t v;
  if (!to_uint(o, f, a, UINT8_MAX, &v)) return false;
  *out = static_cast<uint8_t>(v);
  return true;
}

bool to_bool(PyObject* o, const char* fname, const char* arg, bool* out) {
  if (PyBool_Check(o)) {
    *out = (o == Py_True);
    return true;
  }
  // numpy's bool scalar ("bool_" before numpy 2, "bool" since) is accepted without importing numpy.
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
  Ref module(PyObject_GetAttrString(type, "__module__"));
  Ref name(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name) {
    PyErr_Clear();
    return type_error(o, fname, arg, "bool");
  }
  if (PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
      PyUnicode_Check(name.get()) &&
      (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
       PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0)) {
    const int t = PyObject_IsTrue(o);
    if (t < 0) return false;
    *out = t != 0;
    return true;
  }
  return type_error(o, fname, arg, "bool");
}

bool to_bytes(PyObject* o, const char* fname, const char* arg, std::span<const uint8_t>* out) {
  if (!PyBytes_Check(o)) return type_error(o, fname, arg, "bytes");
  char* p = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(o, &p, &n) < 0) return false;
  *out = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(p), static_cast<size_t>(n));
  return true;
}

bool to_str(PyObject* o, const char* fname, const char* arg, std::string* out) {
  if (!PyUnicode_Check(o)) return type_error(o, fname, arg, "str");
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) {
    // A lone surrogate has no UTF-8 form: a rejected value, not an encoder failure.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must not contain lone surrogates", fname, arg);
    return false;
  }
  out->assign(s, static_cast<size_t>(n));
  return true;
}

bool check_sequence_length(Py_ssize_t n, size_t item_size) {
  constexpr size_t kMaxBytes = size_t{1} << 30;
  if (n < 0) {
    PyErr_SetString(PyExc_OverflowError, "sequence length is negative");
    return false;
  }
  if (item_size != 0 && static_cast<size_t>(n) > kMaxBytes / item_size) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

bool to_optional_str(PyObject* o, const char* fname, const char* arg, std::optional<std::string>* out) {
  if (!o || o == Py_None) {
    out->reset();
    return true;
  }
  if (!PyUnicode_Check(o)) return type_error(o, fname, arg, "str or None");
  std::string s;
  if (!to_str(o, fname, arg, &s)) return false;
  *out = std::move(s);
  return true;
}

}  // namespace tavro::py
