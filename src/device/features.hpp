// The library's feature vocabulary and the compatibility policy that judges an adapter from its description
// records. Pure functions: no state, no I/O.
//
//   a = assess(device_info, capabilities)   # device info read fresh, capabilities cached at open
//   a.assessment   -> Unknown ("legacy_protocol_not_qualified") | Incompatible ("invalid_device_info")
//   a.features     -> 13 FeatureAssessments in id order: device support, library flag, readiness
//   implemented_features()                  # the 11 features this library implements, in id order
//
// The policy only reports ("report_only"): commands that need a feature test the advertisement bits themselves.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "device/records.hpp"

namespace tavro {

// Numeric values are the features' reported ids; declaration order is the order of every feature list.
enum class Feature : uint8_t {
  ClassicCan = 1,
  NominalBitTiming = 2,
  Identify = 3,
  LedControl = 4,
  Termination = 5,
  Temperature = 6,
  Statistics64 = 7,
  CanFd = 8,
  DataBitTiming = 9,
  TxResults = 10,
  CancelTx = 11,
  SettingsStatus = 12,
  BittimingSnapshot = 13,
};
inline constexpr size_t kFeatureCount = 13;
extern const std::array<Feature, kFeatureCount> kAllFeatures;

// What the adapter says about a feature.
enum class DeviceSupport : uint8_t { Advertised = 0, NotAdvertised = 1, Unknown = 2, NotRequired = 3 };
// The combined verdict for one feature.
enum class Readiness : uint8_t {
  Available = 0,
  FirmwareUnsupported = 1,
  LibraryUnsupported = 2,
  UnverifiedProtocol = 3,
  InvalidDeviceInfo = 4,
};
// Overall verdict. This policy revision has no value for a positively qualified adapter.
enum class Assessment : uint8_t { Unknown = 0, Incompatible = 1 };

constexpr uint32_t feature_id(Feature f) noexcept { return static_cast<uint32_t>(f); }
const char* wire_name(Feature f) noexcept;
const char* wire_name(DeviceSupport s) noexcept;
const char* wire_name(Readiness r) noexcept;
const char* wire_name(Assessment a) noexcept;

// False exactly for can_fd and data_bit_timing.
bool library_implements(Feature f) noexcept;
std::vector<Feature> implemented_features();

// How the adapter would advertise a feature: through a bit of features_supported, a bit of ctrlmode_supported,
// not at all, or not needed because the host does the work.
DeviceSupport device_support(Feature f, const CapabilitiesRecord& caps) noexcept;

// ----- report vocabulary -----

inline constexpr uint32_t kReportSchemaVersion = 1;
inline constexpr uint32_t kPolicyRevision = 2;
inline constexpr std::string_view kEnforcement = "report_only";
inline constexpr std::string_view kDefaultTxPath = "legacy_success_echo";
inline constexpr std::array<std::string_view, 2> kFrameModels{"classic_can", "can_fd"};
inline constexpr std::array<std::string_view, 2> kTransportProtocols{"legacy_classic_can", "explicit_tx_results_v1"};

inline constexpr std::string_view kReasonInvalidDeviceInfo = "invalid_device_info";
inline constexpr std::string_view kReasonLegacyNotQualified = "legacy_protocol_not_qualified";
inline constexpr std::string_view kProtocolLegacy = "legacy_classic_can_unverified";
inline constexpr std::string_view kProtocolTxResultsV1 = "classic_can_optional_tx_results_v1_unverified";
inline constexpr std::string_view kMinHostUnspecified = "unspecified";
inline constexpr std::string_view kMinHostUnmapped = "unmapped_legacy_version";

// ----- compatibility policy -----

struct FeatureAssessment {
  Feature feature;
  DeviceSupport device;
  bool library_implemented;
  Readiness readiness;
};

// Field order is the order of the report's keys.
struct CompatibilityAssessment {
  uint32_t schema_version = kReportSchemaVersion;
  uint32_t policy_revision = kPolicyRevision;
  std::string_view enforcement = kEnforcement;
  Assessment assessment = Assessment::Unknown;
  std::string_view reason;
  bool qualified = false;
  std::string_view protocol;
  std::string_view default_tx_path = kDefaultTxPath;
  uint32_t hardware_id = 0;
  VersionBytes hardware_version{};
  VersionBytes firmware_version{};
  VersionBytes bootloader_version{};
  VersionBytes min_host_api_version{};
  std::string_view minimum_host_status;
  uint8_t channel_count = 0;
  uint32_t clock_freq = 0;
  uint32_t features_supported = 0;
  uint32_t ctrlmode_supported = 0;
  std::array<FeatureAssessment, kFeatureCount> features{};
};

CompatibilityAssessment assess(const DeviceInfoRecord& info, const CapabilitiesRecord& caps);

}  // namespace tavro
