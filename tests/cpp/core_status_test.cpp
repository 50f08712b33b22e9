// Last-error records: both generations, their name tables and lengths, and the legacy retry within the 1 s budget.
#include <gtest/gtest.h>

#include <thread>

#include "device/status_records.hpp"
#include "fake_usb.hpp"

namespace tavro {
namespace {

using fake::Bytes;
using fake::ControlReply;
using fake::u32_bytes;
using usb::TransferStatus;

class StatusReads : public testing::Test {
 protected:
  void SetUp() override {
    dev = backend.add("tav.io:CANH0001");
    adapter = fake::open_fake_adapter(backend, dev);
    ASSERT_NE(adapter, nullptr);
  }
  std::vector<fake::ControlRecord> last_error_requests() const { return dev->requests(ControlCommand::GetLastError); }

  fake::FakeBackend backend;
  std::shared_ptr<fake::FakeAdapter> dev;
  std::shared_ptr<UsbAdapter> adapter;
};

}  // namespace

TEST(StatusRecords, LastErrorGenerationsAndLengths) {
  auto bx = LastErrorRecord::decode(fake::concat({u32_bytes(7), u32_bytes(0x12340000)}));
  ASSERT_TRUE(bx.ok());
  EXPECT_EQ(bx->form, LastErrorRecord::Form::Bxcan);
  EXPECT_EQ(bx->tx_error_count(), 0x34u);
  EXPECT_EQ(bx->rx_error_count(), 0x12u);
  EXPECT_STREQ(bx->name(), "software_set");
  EXPECT_STREQ(LastErrorRecord::decode(fake::concat({u32_bytes(8), u32_bytes(0)}))->name(), "unknown");

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
  dev->reply_in(ControlCommand::GetLastError, ControlReply::fail(TransferStatus::Stall));
  dev->reply_in(ControlCommand::GetLastError, ControlReply::ok(Bytes{4, 0, 1, 2}));
  auto r = read_last_error(*adapter);
  ASSERT_TRUE(r.ok());
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
  dev->reply_in(ControlCommand::GetLastError, ControlReply::fail(TransferStatus::Disconnected));
  EXPECT_EQ(read_last_error(*adapter).error().text(), "USB error: device disconnected");
  EXPECT_EQ(last_error_requests().size(), 1u);

  dev->clear_requests();  // unscripted: both requests stall, and the second failure is the answer
  EXPECT_EQ(read_last_error(*adapter).error().text(), "USB error: endpoint stall");
  EXPECT_EQ(last_error_requests().size(), 2u);
}

TEST_F(StatusReads, StallAfterTheBudgetIsSpentIsATimeoutWithoutASecondRequest) {
  dev->set_handler([](const usb::ControlSetup& s, const Bytes&) -> std::optional<ControlReply> {
    if (s.request != static_cast<uint8_t>(ControlCommand::GetLastError)) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // slower than the whole budget below
    return ControlReply::fail(TransferStatus::Stall);
  });
  auto r = read_last_error(*adapter, std::chrono::milliseconds(20));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "Timeout waiting for operation");
  EXPECT_EQ(last_error_requests().size(), 1u);
}

}  // namespace tavro
