// How the simulator's module hands its USB backend to this one: a capsule, attribute `backend` of the module
// `tavro_sim._native`, holding this record. Both modules come from the same build, so a C++ object may cross;
// the version still guards against a stale copy of the other module.
//
//   record = PyCapsule_GetPointer(tavro_sim._native.backend, kBackendCapsuleName)
//   record.abi_version == kBackendAbiVersion and record.backend -> the process's backend
#pragma once

#include <cstdint>

#include "usb/host.hpp"

namespace tavro::py {

inline constexpr const char* kSimModuleName = "tavro_sim._native";
inline constexpr const char* kBackendAttribute = "backend";
inline constexpr const char* kBackendCapsuleName = "tavro_sim._native.backend";
inline constexpr uint32_t kBackendAbiVersion = 1;

struct BackendCapsule {
  uint32_t abi_version;
  usb::Backend* backend;
};

}  // namespace tavro::py
