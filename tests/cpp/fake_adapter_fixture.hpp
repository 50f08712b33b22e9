// A test fixture with one opened adapter on the scriptable fake backend and the captured log.
#pragma once

#include <memory>

#include "fake_usb.hpp"
#include "log_capture.hpp"

namespace tavro::test {

class FakeAdapterTest : public LogCaptureTest {
 protected:
  void SetUp() override {
    LogCaptureTest::SetUp();
    dev = backend.add("tav.io:CANH0001");
    adapter = fake::open_fake_adapter(backend, dev);
    ASSERT_NE(adapter, nullptr);
  }

  fake::FakeBackend backend;
  std::shared_ptr<fake::FakeAdapter> dev;
  std::shared_ptr<UsbAdapter> adapter;
};

}  // namespace tavro::test
