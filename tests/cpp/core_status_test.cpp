// Last-error records: both generations, their name tables and lengths, and the legacy retry within the 1 s budget.
#include <gtest/gtest.h>

#include <thread>

#include "device/status_records.hpp"
#include "sim_adapter.hpp"

namespace tavro {
namespace {

using test::Action;
using test::Bytes;

// A legacy adapter: its last-error record is 4 bytes, and it stalls a request for any other length.
class StatusReads : public test::SimAdapterTest {
 protected:
  StatusReads() { profile = sim::FirmwareProfile::legacy(); }
  std::vector<sim::ControlRecord> last_error_requests() const { return requests(ControlCommand::GetLastError); }
};

}  // namespace

TEST(StatusRecords, LastErrorGenerationsAndLengths) {
  auto bx = LastErrorRecord::decode(test::cat({test::u32(7), test::u32(0x12340000)}));
  ASSERT_TRUE(bx.ok());
  EXPECT_EQ(bx->form, LastErrorRecord::Form::Bxcan);
  EXPECT_EQ(bx->tx_error_count(), 0x34u);
  EXPECT_EQ(bx->rx_error_count(), 0x12u);
  EXPECT_STREQ(bx->name(), "software_set");
  EXPECT_STREQ(LastErrorRecord::decode(test::cat({test::u32(8), test::u32(0)}))->name(), "unknown");

  auto legacy = LastErrorRecord::decode(Bytes{1, 9, 200, 201});
  ASSERT_TRUE(legacy.ok());
  EXPECT_EQ(legacy->form, LastErrorRecord::Form::Legacy);
  EXPECT_EQ(legacy->legacy.error_location, 9u);
  EXPECT_EQ(legacy->tx_error_count(), 200u);
  EXPECT_EQ(legacy->rx_error_count(), 201u);
  // Each generation numbers its errors its own way.
  const char* bxcan_names[] = {"none", "stuff", "form", "ack", "bit_recessive", "bit_dominant", "crc", "software_set"};
  const char* legacy_names[] = {"none", "bit", "stuff", "form", "ack", "crc", "unknown", "unknown"};
  for (uint8_t t = 0; t < 8; ++t) {
    EXPECT_STREQ(LastErrorRecord::decode(Bytes{t, 0, 0, 0, 0, 0, 0, 0})->name(), bxcan_names[t]);
    EXPECT_STREQ(LastErrorRecord::decode(Bytes{t, 0, 0, 0})->name(), legacy_names[t]);
  }
  for (size_t n : {0, 3, 6, 9})
    EXPECT_EQ(LastErrorRecord::decode(Bytes(n, 0)).error().text(),
              "Communication error: invalid GET_LAST_ERROR length (expected legacy 4 or bxCAN 8)");
}

TEST_F(StatusReads, LegacyAdapterStallsThenAnswersFourBytesWithinTheBudget) {
  dev->firmware().set_last_error_code(3);  // bxCAN "ack", which the legacy record numbers its own way
  auto r = read_last_error(*adapter);
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_STREQ(r->name(), "ack");
  auto reqs = last_error_requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].setup.length, 8);
  EXPECT_EQ(reqs[0].timeout, std::chrono::seconds(1));
  EXPECT_EQ(reqs[1].setup.length, 4);
  EXPECT_GT(reqs[1].timeout, std::chrono::nanoseconds::zero());
  EXPECT_LE(reqs[1].timeout, std::chrono::seconds(1));
}

TEST_F(StatusReads, OnlyAStallIsRetried) {
  fail(ControlCommand::GetLastError, true, Action::Stall, 2);  // both requests stall: the second failure answers
  EXPECT_EQ(read_last_error(*adapter).error().text(), "USB error: endpoint stall");
  EXPECT_EQ(last_error_requests().size(), 2u);

  dev->clear_records();
  fail(ControlCommand::GetLastError, true, Action::Disconnect);
  EXPECT_EQ(read_last_error(*adapter).error().text(), "USB error: device disconnected");
  EXPECT_EQ(last_error_requests().size(), 1u);
}

// A host stack that hands an outcome back only after the time-out it was given (its scheduling, which no device
// can cause), over the simulated device.
class LateHost final : public usb::Device {
 public:
  explicit LateHost(std::shared_ptr<usb::Device> inner) : inner_(std::move(inner)) {}
  usb::HostResult<std::shared_ptr<usb::Interface>> claim_interface(uint8_t n) override {
    return inner_->claim_interface(n);
  }
  usb::TransferOutcome control_transfer(const usb::ControlSetup& s, std::span<uint8_t> d, usb::Duration t) override {
    const auto late = std::chrono::steady_clock::now() + t + std::chrono::milliseconds(5);
    const usb::TransferOutcome o = inner_->control_transfer(s, d, t);
    std::this_thread::sleep_until(late);
    return o;
  }

 private:
  std::shared_ptr<usb::Device> inner_;
};

TEST_F(StatusReads, StallAfterTheBudgetIsSpentIsATimeoutWithoutASecondRequest) {
  adapter.reset();
  auto list = rig.backend.enumerate();
  ASSERT_TRUE(list.ok());
  auto opened = rig.backend.open(list.value->front());
  ASSERT_TRUE(opened.ok());
  auto device = std::make_shared<LateHost>(*opened.value);
  auto iface = device->claim_interface(protocol::kInterfaceNumber);
  ASSERT_TRUE(iface.ok());
  auto out = (*iface.value)->open_bulk_out(protocol::kEpBulkOut);
  ASSERT_TRUE(out.ok());
  UsbAdapter late(*profile.serial, device, *iface.value, std::move(*out.value));

  auto r = read_last_error(late, std::chrono::milliseconds(20));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "Timeout waiting for operation");
  EXPECT_EQ(last_error_requests().size(), 1u);
}

}  // namespace tavro
