// The library-versions and compatibility reports as compact JSON text (no whitespace, keys in field order). The
// Python surface hands the text to json.loads, so the dictionaries keep this order.
//
//   library_versions_json()        -> {"schema_version":1,"product_version":"1.4.0","api_version":{...},...}
//   compatibility_report_json(a)   -> {"schema_version":1,"policy_revision":2,...,"features":[{"id":1,...},...]}
//
// The library-versions text carries the first twelve keys; `adapter_version` and `dependency_revision` are added
// to the parsed dictionary by the caller.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "device/features.hpp"

namespace tavro {

// Minimal writer of compact JSON. Commas are placed automatically; the caller keeps objects and arrays balanced.
class JsonWriter {
 public:
  JsonWriter& begin_object();
  JsonWriter& end_object();
  JsonWriter& begin_array();
  JsonWriter& end_array();
  // The next value's key (inside an object).
  JsonWriter& key(std::string_view k);
  JsonWriter& value(std::string_view s);
  JsonWriter& value(const char* s) { return value(std::string_view(s)); }
  JsonWriter& value(uint64_t n);
  JsonWriter& value(bool b);

  const std::string& text() const noexcept { return out_; }
  std::string take() noexcept { return std::move(out_); }

 private:
  void separate();
  void quoted(std::string_view s);

  std::string out_;
  bool need_comma_ = false;
};

std::string library_versions_json();
std::string compatibility_report_json(const CompatibilityAssessment& a);

}  // namespace tavro
