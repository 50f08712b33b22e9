// Firmware profiles as Python dicts: every field of FirmwareProfile under its own key (bit timing constants and
// bit timings as tuples in wire order, versions as 4-tuples, request sets as lists of request numbers).
#pragma once

#include <array>
#include <cstdint>

#include "ext/pyref.hpp"
#include "firmware/profile.hpp"

namespace tavro::sim::python {

// A new dict with every field of `p`.
PyObject* profile_to_dict(const FirmwareProfile& p);
// Applies every key of `d` to the profile; unknown keys are a ValueError.
bool apply_profile(PyObject* d, FirmwareProfile* p);
// The eight words of a bit timing record, in wire order.
std::array<uint32_t, 8> timing_words(const BitTiming& t);

}  // namespace tavro::sim::python
