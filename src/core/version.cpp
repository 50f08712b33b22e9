// The library's identity, fixed when the build is configured and compiled.
#include "core/version.hpp"

#include <cstdlib>  // brings in the C library's identification macros (__GLIBC__)

#ifndef TAVRO_SOURCE_REVISION
#define TAVRO_SOURCE_REVISION "0000000000000000000000000000000000000000"
#endif

namespace tavro {
namespace {

// The revision is fixed when the build is configured; a malformed value would be a build-system fault.
constexpr std::string_view kSourceRevision = TAVRO_SOURCE_REVISION;
constexpr bool lower_hex(std::string_view s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}
static_assert(kSourceRevision.size() == 40 && lower_hex(kSourceRevision),
              "TAVRO_SOURCE_REVISION must be 40 lower-case hexadecimal digits");

// The triple in the form Python packaging and Rust toolchains print, from the compiler's own macros.
#if defined(__x86_64__) || defined(_M_X64)
#define TAVRO_ARCH "x86_64"
#elif defined(__aarch64__) || defined(_M_ARM64)
#define TAVRO_ARCH "aarch64"
#elif defined(__i386__) || defined(_M_IX86)
#define TAVRO_ARCH "i686"
#elif defined(__arm__)
#define TAVRO_ARCH "armv7"
#elif defined(__riscv) && __riscv_xlen == 64
#define TAVRO_ARCH "riscv64gc"
#elif defined(__powerpc64__) && defined(__LITTLE_ENDIAN__)
#define TAVRO_ARCH "powerpc64le"
#elif defined(__s390x__)
#define TAVRO_ARCH "s390x"
#else
#define TAVRO_ARCH "unknown"
#endif

#if defined(__ANDROID__)
#define TAVRO_SYSTEM "linux-android"
#elif defined(__linux__) && defined(__GLIBC__)
#define TAVRO_SYSTEM "unknown-linux-gnu"
#elif defined(__linux__)
#define TAVRO_SYSTEM "unknown-linux-musl"
#elif defined(__APPLE__)
#define TAVRO_SYSTEM "apple-darwin"
#elif defined(_MSC_VER)
#define TAVRO_SYSTEM "pc-windows-msvc"
#elif defined(_WIN32)
#define TAVRO_SYSTEM "pc-windows-gnu"
#elif defined(__FreeBSD__)
#define TAVRO_SYSTEM "unknown-freebsd"
#else
#define TAVRO_SYSTEM "unknown-unknown"
#endif

#if defined(__arm__) && defined(__linux__) && !defined(__ANDROID__)
// 32-bit ARM Linux names its float ABI in the environment part.
#if defined(__ARM_PCS_VFP)
constexpr std::string_view kTarget = TAVRO_ARCH "-" TAVRO_SYSTEM "eabihf";
#else
constexpr std::string_view kTarget = TAVRO_ARCH "-" TAVRO_SYSTEM "eabi";
#endif
#else
constexpr std::string_view kTarget = TAVRO_ARCH "-" TAVRO_SYSTEM;
#endif

}  // namespace

std::string_view source_revision() noexcept { return kSourceRevision; }

std::string release_identity() { return std::string(kProductVersion) + "+dev." + std::string(kSourceRevision); }

std::string_view build_target() noexcept { return kTarget; }

}  // namespace tavro
