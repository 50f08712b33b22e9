// Feature tables and the compatibility policy.
#include "device/features.hpp"

#include "core/protocol.hpp"

namespace tavro {
namespace {

struct FeatureRow {
  const char* name;
  enum class Source : uint8_t { None, FeatureBit, CtrlmodeBit, Host } source;
  uint32_t bit;
  bool implemented;
};

using S = FeatureRow::Source;
// Indexed by id - 1. led_control is bit 0x08 and termination 0x04: the reverse of their table order.
constexpr FeatureRow kRows[kFeatureCount] = {
    {"classic_can", S::None, 0, true},
    {"nominal_bit_timing", S::None, 0, true},
    {"identify", S::FeatureBit, protocol::kFeatureIdentify, true},
    {"led_control", S::FeatureBit, protocol::kFeatureLed, true},
    {"termination", S::FeatureBit, protocol::kFeatureTermination, true},
    {"temperature", S::FeatureBit, protocol::kFeatureTemperature, true},
    {"statistics64", S::Host, 0, true},
    {"can_fd", S::CtrlmodeBit, protocol::kModeFd, false},
    {"data_bit_timing", S::None, 0, false},
    {"tx_results", S::FeatureBit, protocol::kFeatureTxResults, true},
    {"cancel_tx", S::FeatureBit, protocol::kFeatureCancel, true},
    {"settings_status", S::None, 0, true},
    {"bittiming_snapshot", S::FeatureBit, protocol::kFeatureBitTimingSnapshot, true},
};

const FeatureRow& row(Feature f) noexcept { return kRows[feature_id(f) - 1]; }

Readiness readiness(Feature f, DeviceSupport support, bool info_valid) noexcept {
  if (f == Feature::Statistics64) return Readiness::Available;
  if (!info_valid) return Readiness::InvalidDeviceInfo;
  if (!library_implements(f)) return Readiness::LibraryUnsupported;
  if (support == DeviceSupport::NotAdvertised) return Readiness::FirmwareUnsupported;
  // The legacy protocol is never qualified, so an advertised feature stops here.
  return Readiness::UnverifiedProtocol;
}

}  // namespace

const std::array<Feature, kFeatureCount> kAllFeatures = {
    Feature::ClassicCan,        Feature::NominalBitTiming, Feature::Identify,     Feature::LedControl,
    Feature::Termination,       Feature::Temperature,      Feature::Statistics64, Feature::CanFd,
    Feature::DataBitTiming,     Feature::TxResults,        Feature::CancelTx,     Feature::SettingsStatus,
    Feature::BittimingSnapshot,
};

const char* wire_name(Feature f) noexcept {
  const uint32_t id = feature_id(f);
  return id >= 1 && id <= kFeatureCount ? kRows[id - 1].name : "unknown";
}

const char* wire_name(DeviceSupport s) noexcept {
  switch (s) {
    case DeviceSupport::Advertised: return "advertised";
    case DeviceSupport::NotAdvertised: return "not_advertised";
    case DeviceSupport::Unknown: return "unknown";
    case DeviceSupport::NotRequired: return "not_required";
  }
  return "unknown";
}

const char* wire_name(Readiness r) noexcept {
  switch (r) {
    case Readiness::Available: return "available";
    case Readiness::FirmwareUnsupported: return "firmware_unsupported";
    case Readiness::LibraryUnsupported: return "library_unsupported";
    case Readiness::UnverifiedProtocol: return "unverified_protocol";
    case Readiness::InvalidDeviceInfo: return "invalid_device_info";
  }
  return "unknown";
}

const char* wire_name(Assessment a) noexcept {
  switch (a) {
    case Assessment::Unknown: return "unknown";
    case Assessment::Incompatible: return "incompatible";
  }
  return "unknown";
}

bool library_implements(Feature f) noexcept { return row(f).implemented; }

std::vector<Feature> implemented_features() {
  std::vector<Feature> out;
  for (Feature f : kAllFeatures)
    if (library_implements(f)) out.push_back(f);
  return out;
}

DeviceSupport device_support(Feature f, const CapabilitiesRecord& caps) noexcept {
  const FeatureRow& r = row(f);
  switch (r.source) {
    case S::None: return DeviceSupport::Unknown;
    case S::Host: return DeviceSupport::NotRequired;
    case S::FeatureBit:
      return (caps.features_supported & r.bit) ? DeviceSupport::Advertised : DeviceSupport::NotAdvertised;
    case S::CtrlmodeBit:
      return (caps.ctrlmode_supported & r.bit) ? DeviceSupport::Advertised : DeviceSupport::NotAdvertised;
  }
  return DeviceSupport::Unknown;
}

CompatibilityAssessment assess(const DeviceInfoRecord& info, const CapabilitiesRecord& caps) {
  // Only these two fields decide validity; versions and the hardware id never do.
  const bool valid = info.channel_count != 0 && caps.clock_freq != 0;

  CompatibilityAssessment a;
  a.assessment = valid ? Assessment::Unknown : Assessment::Incompatible;
  a.reason = valid ? kReasonLegacyNotQualified : kReasonInvalidDeviceInfo;
  a.qualified = false;
  a.protocol = (caps.features_supported & protocol::kFeatureTxResults) ? kProtocolTxResultsV1 : kProtocolLegacy;
  a.hardware_id = info.hardware_id;
  a.hardware_version = info.hardware_version;
  a.firmware_version = info.firmware_version;
  a.bootloader_version = info.bootloader_version;
  a.min_host_api_version = info.min_host_api_version;
  // A non-zero minimum is only recognised as present; it is never compared with our own API version.
  const bool min_host_zero = info.min_host_api_version == VersionBytes{0, 0, 0, 0};
  a.minimum_host_status = min_host_zero ? kMinHostUnspecified : kMinHostUnmapped;
  a.channel_count = info.channel_count;
  a.clock_freq = caps.clock_freq;
  a.features_supported = caps.features_supported;
  a.ctrlmode_supported = caps.ctrlmode_supported;
  for (size_t i = 0; i < kFeatureCount; ++i) {
    const Feature f = kAllFeatures[i];
    const DeviceSupport support = device_support(f, caps);
    a.features[i] = FeatureAssessment{f, support, library_implements(f), readiness(f, support, valid)};
  }
  return a;
}

}  // namespace tavro
