// Serialisation of the two reports.
#include "device/reports.hpp"

#include "core/version.hpp"

namespace tavro {

void JsonWriter::separate() {
  if (need_comma_) out_ += ',';
  need_comma_ = false;
}

void JsonWriter::quoted(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out_ += '"';
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out_ += "\\\""; break;
      case '\\': out_ += "\\\\"; break;
      case '\b': out_ += "\\b"; break;
      case '\f': out_ += "\\f"; break;
      case '\n': out_ += "\\n"; break;
      case '\r': out_ += "\\r"; break;
      case '\t': out_ += "\\t"; break;
      default:
        if (c < 0x20) {
          out_ += "\\u00";
          out_ += kHex[c >> 4];
          out_ += kHex[c & 0xF];
        } else {
          out_ += ch;  // UTF-8 passes through unchanged
        }
    }
  }
  out_ += '"';
}

JsonWriter& JsonWriter::begin_object() {
  separate();
  out_ += '{';
  return *this;
}

JsonWriter& JsonWriter::end_object() {
  out_ += '}';
  need_comma_ = true;
  return *this;
}

JsonWriter& JsonWriter::begin_array() {
  separate();
  out_ += '[';
  return *this;
}

JsonWriter& JsonWriter::end_array() {
  out_ += ']';
  need_comma_ = true;
  return *this;
}

JsonWriter& JsonWriter::key(std::string_view k) {
  separate();
  quoted(k);
  out_ += ':';
  return *this;
}

JsonWriter& JsonWriter::value(std::string_view s) {
  separate();
  quoted(s);
  need_comma_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(uint64_t n) {
  separate();
  out_ += std::to_string(n);
  need_comma_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(bool b) {
  separate();
  out_ += b ? "true" : "false";
  need_comma_ = true;
  return *this;
}

namespace {

void version_array(JsonWriter& w, std::string_view k, const VersionBytes& v) {
  w.key(k).begin_array();
  for (uint8_t b : v) w.value(uint64_t{b});
  w.end_array();
}

template <typename Strings>
void string_array(JsonWriter& w, std::string_view k, const Strings& items) {
  w.key(k).begin_array();
  for (const auto& s : items) w.value(std::string_view(s));
  w.end_array();
}

}  // namespace

std::string library_versions_json() {
  JsonWriter w;
  w.begin_object();
  w.key("schema_version").value(uint64_t{kReportSchemaVersion});
  w.key("product_version").value(kProductVersion);
  w.key("api_version").begin_object();
  w.key("major").value(uint64_t{kHostApiVersion.major});
  w.key("minor").value(uint64_t{kHostApiVersion.minor});
  w.key("patch").value(uint64_t{kHostApiVersion.patch});
  w.end_object();
  w.key("policy_revision").value(uint64_t{kPolicyRevision});
  w.key("compatibility_enforcement").value(kEnforcement);
  w.key("implemented_features").begin_array();
  for (Feature f : implemented_features()) w.value(wire_name(f));
  w.end_array();
  string_array(w, "frame_models", kFrameModels);
  string_array(w, "transport_protocols", kTransportProtocols);
  w.key("source_revision").value(source_revision());
  w.key("release_identity").value(release_identity());
  w.key("release_channel").value(kReleaseChannel);
  w.key("target").value(build_target());
  w.end_object();
  return w.take();
}

std::string compatibility_report_json(const CompatibilityAssessment& a) {
  JsonWriter w;
  w.begin_object();
  w.key("schema_version").value(uint64_t{a.schema_version});
  w.key("policy_revision").value(uint64_t{a.policy_revision});
  w.key("enforcement").value(a.enforcement);
  w.key("assessment").value(wire_name(a.assessment));
  w.key("reason").value(a.reason);
  w.key("qualified").value(a.qualified);
  w.key("protocol").value(a.protocol);
  w.key("default_tx_path").value(a.default_tx_path);
  w.key("hardware_id").value(uint64_t{a.hardware_id});
  version_array(w, "hardware_version", a.hardware_version);
  version_array(w, "firmware_version", a.firmware_version);
  version_array(w, "bootloader_version", a.bootloader_version);
  version_array(w, "min_host_api_version", a.min_host_api_version);
  w.key("minimum_host_status").value(a.minimum_host_status);
  w.key("channel_count").value(uint64_t{a.channel_count});
  w.key("clock_freq").value(uint64_t{a.clock_freq});
  w.key("features_supported").value(uint64_t{a.features_supported});
  w.key("ctrlmode_supported").value(uint64_t{a.ctrlmode_supported});
  w.key("features").begin_array();
  for (const FeatureAssessment& f : a.features) {
    w.begin_object();
    w.key("id").value(uint64_t{feature_id(f.feature)});
    w.key("feature").value(wire_name(f.feature));
    w.key("device").value(wire_name(f.device));
    w.key("library_implemented").value(f.library_implemented);
    w.key("readiness").value(wire_name(f.readiness));
    w.end_object();
  }
  w.end_array();
  w.end_object();
  return w.take();
}

}  // namespace tavro
