// One capturing log sink for the whole test binary. log::install_sink keeps the first sink installed in the
// process, so every test that looks at log records uses this one: call LogCapture::instance().reset() at the
// start of the test (or derive the fixture from LogCaptureTest) and inspect the records afterwards.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.hpp"

namespace tavro::test {

struct LogRecord {
  log::Target target;
  log::Level level;
  std::string file;
  int line;
  std::string text;
};

class LogCapture final : public log::Sink {
 public:
  // Installs the sink on first use. installed() is false only if some other sink got there first.
  static LogCapture& instance() {
    static LogCapture* capture = [] {
      auto* c = new LogCapture();  // lives until process exit, as the facade requires
      c->installed_ = log::install_sink(c);
      return c;
    }();
    return *capture;
  }

  bool installed() const noexcept { return installed_; }

  // Clears the records and enables every level of every target.
  void reset() {
    clear();
    set_max_level(log::Level::Trace);
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    records_.clear();
  }

  // Enables levels up to and including `max` (Error < Warn < Info < Debug < Trace).
  void set_max_level(log::Level max) {
    max_level_.store(static_cast<int>(max));
    log::reset_enabled_cache();
  }
  // Disables every level: the facade then reports nothing as enabled.
  void disable_all() {
    max_level_.store(-1);
    log::reset_enabled_cache();
  }

  std::vector<LogRecord> records() const {
    std::lock_guard<std::mutex> lock(mu_);
    return records_;
  }
  std::vector<std::string> texts(log::Target target, log::Level level) const {
    std::vector<std::string> out;
    for (const auto& r : records())
      if (r.target == target && r.level == level) out.push_back(r.text);
    return out;
  }
  size_t count_containing(std::string_view needle) const {
    const auto all = records();
    return static_cast<size_t>(std::count_if(
        all.begin(), all.end(), [&](const LogRecord& r) { return r.text.find(needle) != std::string::npos; }));
  }

  bool enabled(log::Target, log::Level level) noexcept override { return static_cast<int>(level) <= max_level_.load(); }
  void write(log::Target target, log::Level level, const char* file, int line,
             std::string_view text) noexcept override {
    try {
      std::lock_guard<std::mutex> lock(mu_);
      records_.push_back({target, level, file ? file : "", line, std::string(text)});
    } catch (...) {}
  }

 private:
  LogCapture() = default;

  bool installed_ = false;
  std::atomic<int> max_level_{static_cast<int>(log::Level::Trace)};
  mutable std::mutex mu_;
  std::vector<LogRecord> records_;
};

// Fixture base: a fresh capture with every level enabled.
class LogCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(logs().installed()) << "another log sink was installed before the capture";
    logs().reset();
  }
  static LogCapture& logs() { return LogCapture::instance(); }
};

}  // namespace tavro::test
