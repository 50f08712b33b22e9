// The library's identity: its versions, the source revision it was built from and the target it was built for.
// The package metadata reads kProductVersion from this file (pyproject.toml), so it is the one place for it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavro {

struct ApiVersion {
  uint32_t major;
  uint32_t minor;
  uint32_t patch;
};

inline constexpr std::string_view kProductVersion = "1.4.0";
inline constexpr ApiVersion kHostApiVersion{1, 5, 0};
inline constexpr std::string_view kAdapterLayerVersion = "0.2.1";
inline constexpr std::string_view kReleaseChannel = "development";

// The git commit of the source tree when the build was configured: 40 lower-case hex digits (all zeros when the
// tree was not a git checkout).
std::string_view source_revision() noexcept;
// Product version, "+dev.", source revision.
std::string release_identity();
// The target triple this library was compiled for, e.g. "x86_64-unknown-linux-gnu".
std::string_view build_target() noexcept;

}  // namespace tavro
