// Compatibility policy over description records, library identity, and the exact JSON text of both reports.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/version.hpp"
#include "device/features.hpp"
#include "device/reports.hpp"

namespace tavro {
namespace {

DeviceInfoRecord info(uint8_t channels = 1, VersionBytes min_host = {0, 0, 0, 0}) {
  return {{1, 0, 0, 0}, {1, 4, 0, 12}, {1, 2, 0, 0}, min_host, channels, 0x00480001};
}

CapabilitiesRecord caps(uint32_t features, uint32_t ctrlmode = 0, uint32_t clock = 48000000) {
  return {clock, 0, 0, ctrlmode, features, 0};
}

// "device/readiness" per feature, in id order.
std::vector<std::string> verdicts(const CompatibilityAssessment& a) {
  std::vector<std::string> out;
  for (const auto& f : a.features) out.push_back(std::string(wire_name(f.device)) + "/" + wire_name(f.readiness));
  return out;
}

}  // namespace

TEST(CompatibilityPolicy, ZeroChannelsOrZeroClockIsIncompatible) {
  for (auto [channels, clock] : {std::pair<uint8_t, uint32_t>{0, 48000000}, {1, 0}}) {
    const auto a = assess(info(channels), caps(0xFF, 0, clock));
    EXPECT_EQ(a.assessment, Assessment::Incompatible);
    EXPECT_EQ(a.reason, "invalid_device_info");
    // Protocol and device support come from the bits alone, valid or not; only statistics64 stays available.
    EXPECT_EQ(a.protocol, "classic_can_optional_tx_results_v1_unverified");
    const std::string bad = "/invalid_device_info";
    EXPECT_EQ(verdicts(a),
              (std::vector<std::string>{"unknown" + bad, "unknown" + bad, "advertised" + bad, "advertised" + bad,
                                        "advertised" + bad, "advertised" + bad, "not_required/available",
                                        "not_advertised" + bad, "unknown" + bad, "advertised" + bad, "advertised" + bad,
                                        "unknown" + bad, "advertised" + bad}));
  }
}

TEST(CompatibilityPolicy, AdvertisementBitsDecideReadiness) {
  const auto none = assess(info(), caps(0, 0));
  EXPECT_EQ(none.assessment, Assessment::Unknown);
  EXPECT_EQ(none.reason, "legacy_protocol_not_qualified");
  EXPECT_FALSE(none.qualified);
  EXPECT_EQ(none.protocol, "legacy_classic_can_unverified");
  const std::string u = "unknown/unverified_protocol", m = "not_advertised/firmware_unsupported";
  EXPECT_EQ(verdicts(none),
            (std::vector<std::string>{u, u, m, m, m, m, "not_required/available", "not_advertised/library_unsupported",
                                      "unknown/library_unsupported", m, m, u, m}));

  // Everything advertised (can_fd through the mode word) still stops at unverified_protocol or, for what the
  // library lacks, library_unsupported.
  const std::string a = "advertised/unverified_protocol";
  EXPECT_EQ(verdicts(assess(info(), caps(0xFF, 0x20))),
            (std::vector<std::string>{u, u, a, a, a, a, "not_required/available", "advertised/library_unsupported",
                                      "unknown/library_unsupported", a, a, u, a}));
  // led_control is bit 0x08, termination 0x04; bit 0x02 and bits above 0x80 carry nothing.
  const auto led = assess(info(), caps(0x08));
  EXPECT_EQ(led.features[3].device, DeviceSupport::Advertised);
  EXPECT_EQ(led.features[4].device, DeviceSupport::NotAdvertised);
  EXPECT_EQ(verdicts(assess(info(), caps(0xFFFFFF02))), verdicts(none));
}

TEST(CompatibilityPolicy, MinimumHostVersionIsOnlyRecognisedAsPresent) {
  EXPECT_EQ(assess(info(1, {0, 0, 0, 0}), caps(0)).minimum_host_status, "unspecified");
  for (VersionBytes v : {VersionBytes{0, 0, 0, 1}, VersionBytes{1, 5, 0, 0}, VersionBytes{9, 9, 9, 9}})
    EXPECT_EQ(assess(info(1, v), caps(0)).minimum_host_status, "unmapped_legacy_version");
}

TEST(LibraryIdentity, RevisionTargetAndReleaseIdentity) {
  const std::string rev(source_revision());
  ASSERT_EQ(rev.size(), 40u);
  EXPECT_EQ(rev.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(release_identity(), "1.4.0+dev." + rev);
#if defined(__x86_64__) && defined(__linux__) && defined(__GLIBC__)
  EXPECT_EQ(build_target(), "x86_64-unknown-linux-gnu");
#elif defined(__aarch64__) && defined(__linux__) && defined(__GLIBC__)
  EXPECT_EQ(build_target(), "aarch64-unknown-linux-gnu");
#endif
}

TEST(Reports, JsonEscapes) {
  JsonWriter w;
  w.begin_object().key("c\"").value("q\"\\\n\x01 \xc3\xa9").key("d").begin_array().value(true).end_array();
  EXPECT_EQ(w.end_object().text(), "{\"c\\\"\":\"q\\\"\\\\\\n\\u0001 \xc3\xa9\",\"d\":[true]}");
}

TEST(Reports, LibraryVersionsText) {
  const std::string rev(source_revision());
  EXPECT_EQ(library_versions_json(),
            "{\"schema_version\":1,\"product_version\":\"1.4.0\",\"api_version\":{\"major\":1,\"minor\":5,"
            "\"patch\":0},\"policy_revision\":2,\"compatibility_enforcement\":\"report_only\","
            "\"implemented_features\":[\"classic_can\",\"nominal_bit_timing\",\"identify\",\"led_control\","
            "\"termination\",\"temperature\",\"statistics64\",\"tx_results\",\"cancel_tx\",\"settings_status\","
            "\"bittiming_snapshot\"],\"frame_models\":[\"classic_can\",\"can_fd\"],\"transport_protocols\":["
            "\"legacy_classic_can\",\"explicit_tx_results_v1\"],\"source_revision\":\"" +
                rev + "\",\"release_identity\":\"1.4.0+dev." + rev +
                "\",\"release_channel\":\"development\",\"target\":\"" + std::string(build_target()) + "\"}");
}

TEST(Reports, CompatibilityReportText) {
  auto i = info(1, {1, 0, 0, 0});
  i.hardware_id = 0xFFFFFFFF;
  const std::string text = compatibility_report_json(assess(i, caps(0x25, 0x5F)));
  auto entry = [](int id, const char* name, const char* device, bool implemented, const char* readiness) {
    return "{\"id\":" + std::to_string(id) + ",\"feature\":\"" + name + "\",\"device\":\"" + device +
           "\",\"library_implemented\":" + (implemented ? "true" : "false") + ",\"readiness\":\"" + readiness + "\"}";
  };
  const char* uv = "unverified_protocol";
  const char* fu = "firmware_unsupported";
  const char* lu = "library_unsupported";
  EXPECT_EQ(
      text,
      "{\"schema_version\":1,\"policy_revision\":2,\"enforcement\":\"report_only\",\"assessment\":\"unknown\","
      "\"reason\":\"legacy_protocol_not_qualified\",\"qualified\":false,"
      "\"protocol\":\"classic_can_optional_tx_results_v1_unverified\","
      "\"default_tx_path\":\"legacy_success_echo\",\"hardware_id\":4294967295,\"hardware_version\":[1,0,0,0],"
      "\"firmware_version\":[1,4,0,12],\"bootloader_version\":[1,2,0,0],\"min_host_api_version\":[1,0,0,0],"
      "\"minimum_host_status\":\"unmapped_legacy_version\",\"channel_count\":1,\"clock_freq\":48000000,"
      "\"features_supported\":37,\"ctrlmode_supported\":95,\"features\":[" +
          entry(1, "classic_can", "unknown", true, uv) + "," + entry(2, "nominal_bit_timing", "unknown", true, uv) +
          "," + entry(3, "identify", "advertised", true, uv) + "," +
          entry(4, "led_control", "not_advertised", true, fu) + "," + entry(5, "termination", "advertised", true, uv) +
          "," + entry(6, "temperature", "not_advertised", true, fu) + "," +
          entry(7, "statistics64", "not_required", true, "available") + "," +
          entry(8, "can_fd", "not_advertised", false, lu) + "," + entry(9, "data_bit_timing", "unknown", false, lu) +
          "," + entry(10, "tx_results", "advertised", true, uv) + "," +
          entry(11, "cancel_tx", "not_advertised", true, fu) + "," + entry(12, "settings_status", "unknown", true, uv) +
          "," + entry(13, "bittiming_snapshot", "not_advertised", true, fu) + "]}");
}

}  // namespace tavro
