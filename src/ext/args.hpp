// Argument conversion for METH_FASTCALL | METH_KEYWORDS methods: positional-or-keyword parameters by name, with the
// driver's TypeError/OverflowError texts. Every converter returns false with a Python exception set.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "ext/python.hpp"

namespace tavro::py {

// Matches the call's arguments to `names` (all required unless `required` < names.size()). On success out[i]
// holds a borrowed reference or nullptr for an omitted optional parameter.
bool parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<const char* const> names, size_t required, PyObject** out);

template <size_t N>
bool parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const char* const (&names)[N], PyObject* (&out)[N], size_t required = N) {
  return parse_args(fname, args, nargs, kwnames, std::span<const char* const>(names, N), required, out);
}

// Unsigned integers of a given width: TypeError for a non-int, OverflowError outside [0, max].
bool to_uint(PyObject* o, const char* fname, const char* arg, uint64_t max, uint64_t* out);
inline bool to_u64(PyObject* o, const char* f, const char* a, uint64_t* out) {
  return to_uint(o, f, a, UINT64_MAX, out);
}
bool to_u32(PyObject* o, const char* f, const char* a, uint32_t* out);
bool to_u16(PyObject* o, const char* f, const char* a, uint16_t* out);
bool to_u8(PyObject* o, const char* f, const char* a, uint8_t* out);
// A real bool (or numpy's bool); ints are refused.
bool to_bool(PyObject* o, const char* fname, const char* arg, bool* out);
// bytes or a subclass; the view stays valid while `o` lives.
bool to_bytes(PyObject* o, const char* fname, const char* arg, std::span<const uint8_t>* out);
bool to_str(PyObject* o, const char* fname, const char* arg, std::string* out);
bool to_optional_str(PyObject* o, const char* fname, const char* arg, std::optional<std::string>* out);

// Room for `n` items of `item_size` bytes, checked before anything is reserved: MemoryError when a sequence claims
// more than any frame list or filter table could use (so absurd lengths never reach the allocator), OverflowError
// for a negative length.
bool check_sequence_length(Py_ssize_t n, size_t item_size);

// Raises "fname() argument 'arg' must be <expected>, not <type>".
bool type_error(PyObject* o, const char* fname, const char* arg, const char* expected);

}  // namespace tavro::py
