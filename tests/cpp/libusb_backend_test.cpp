// libusb backend: outcome mapping, descriptor lookup, the completion hand-off, the event thread's lifecycle and
// enumeration on whatever bus this machine has. No adapter is assumed to be attached.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.hpp"

#include "usb/libusb/libusb_backend.hpp"
#include "usb/libusb/libusb_support.hpp"

namespace lu = tavro::usb::libusb_detail;
using tavro::usb::EndpointDescriptor;
using tavro::usb::EndpointType;
using tavro::usb::TransferStatus;

namespace {

// Polls `pred` until it holds or a generous limit passes (a thread may stay listed a moment after its join).
template <typename Pred>
bool eventually(Pred pred) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

long threads_named(const std::string& name) {
  const auto names = tavro::platform::thread_names();
  return std::count(names.begin(), names.end(), name);
}

libusb_endpoint_descriptor endpoint(uint8_t address, uint8_t attributes, uint16_t max_packet) {
  libusb_endpoint_descriptor d{};
  d.bEndpointAddress = address;
  d.bmAttributes = attributes;
  d.wMaxPacketSize = max_packet;
  return d;
}

}  // namespace

TEST(LibusbOutcome, TransferStatusesMapToSeamStatuses) {
  struct Case {
    int status;
    TransferStatus want;
  };
  const Case cases[] = {
      {LIBUSB_TRANSFER_COMPLETED, TransferStatus::Completed},    {LIBUSB_TRANSFER_CANCELLED, TransferStatus::Cancelled},
      {LIBUSB_TRANSFER_TIMED_OUT, TransferStatus::Cancelled},    {LIBUSB_TRANSFER_STALL, TransferStatus::Stall},
      {LIBUSB_TRANSFER_NO_DEVICE, TransferStatus::Disconnected}, {LIBUSB_TRANSFER_ERROR, TransferStatus::Fault},
      {LIBUSB_TRANSFER_OVERFLOW, TransferStatus::Fault},
  };
  for (const Case& c : cases) {
    const auto o = lu::outcome_from_transfer_status(c.status, 7);
    EXPECT_EQ(o.status, c.want) << "libusb status " << c.status;
    // Partial data is reported whatever the status: a cancelled read or a failed write may have moved bytes.
    EXPECT_EQ(o.actual, 7u) << "libusb status " << c.status;
    EXPECT_EQ(o.os_code, 0);
  }
  const auto unknown = lu::outcome_from_transfer_status(99, 0);
  EXPECT_EQ(unknown.status, TransferStatus::Unknown);
  EXPECT_EQ(unknown.os_code, 99);
  EXPECT_EQ(lu::outcome_from_transfer_status(LIBUSB_TRANSFER_COMPLETED, -1).actual, 0u);
}

TEST(LibusbOutcome, CallErrorsMapToSeamStatusesAndKeepTheCode) {
  EXPECT_TRUE(lu::outcome_from_error(LIBUSB_SUCCESS).ok());
  EXPECT_EQ(lu::outcome_from_error(LIBUSB_ERROR_NO_DEVICE).status, TransferStatus::Disconnected);
  EXPECT_EQ(lu::outcome_from_error(LIBUSB_ERROR_INVALID_PARAM).status, TransferStatus::InvalidArgument);
  EXPECT_EQ(lu::outcome_from_error(LIBUSB_ERROR_PIPE).status, TransferStatus::Stall);
  for (int code : {LIBUSB_ERROR_BUSY, LIBUSB_ERROR_IO, LIBUSB_ERROR_NO_MEM, LIBUSB_ERROR_ACCESS}) {
    const auto o = lu::outcome_from_error(code);
    EXPECT_EQ(o.status, TransferStatus::Unknown) << code;
    EXPECT_EQ(o.os_code, code);
  }
  const auto e = lu::host_error(LIBUSB_ERROR_ACCESS);
  EXPECT_EQ(e.status, TransferStatus::Unknown);
  EXPECT_EQ(e.os_code, LIBUSB_ERROR_ACCESS);
  EXPECT_EQ(e.text, libusb_strerror(LIBUSB_ERROR_ACCESS));
  EXPECT_EQ(lu::host_error(LIBUSB_ERROR_NO_DEVICE).status, TransferStatus::Disconnected);
}

TEST(LibusbDescriptors, InterfaceEndpointsAreFoundByNumberNotPosition) {
  libusb_endpoint_descriptor if1_eps[] = {
      endpoint(0x81, LIBUSB_TRANSFER_TYPE_BULK, 512),
      endpoint(0x02, LIBUSB_TRANSFER_TYPE_BULK, 64),
      // High-bandwidth multiplier bits above the size must not leak into the packet size.
      endpoint(0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT, 0x1000 | 1024),
  };
  libusb_endpoint_descriptor if0_eps[] = {endpoint(0x84, LIBUSB_TRANSFER_TYPE_BULK, 512)};
  libusb_interface_descriptor alt1{};
  alt1.bInterfaceNumber = 1;
  alt1.bNumEndpoints = 3;
  alt1.endpoint = if1_eps;
  libusb_interface_descriptor alt0{};
  alt0.bInterfaceNumber = 0;
  alt0.bNumEndpoints = 1;
  alt0.endpoint = if0_eps;
  // Interface 1 first in the array; an interface without alternate settings in between is skipped.
  libusb_interface interfaces[3] = {};
  interfaces[0].altsetting = &alt1;
  interfaces[0].num_altsetting = 1;
  interfaces[2].altsetting = &alt0;
  interfaces[2].num_altsetting = 1;
  libusb_config_descriptor config{};
  config.bNumInterfaces = 3;
  config.interface = interfaces;

  const auto eps = lu::interface_endpoints(config, 1);
  ASSERT_TRUE(eps.has_value());
  ASSERT_EQ(eps->size(), 3u);
  EXPECT_EQ((*eps)[0].address, 0x81);
  EXPECT_EQ((*eps)[0].type, EndpointType::Bulk);
  EXPECT_EQ((*eps)[0].max_packet_size, 512);
  EXPECT_EQ((*eps)[1].address, 0x02);
  EXPECT_EQ((*eps)[1].max_packet_size, 64);
  EXPECT_EQ((*eps)[2].type, EndpointType::Interrupt);
  EXPECT_EQ((*eps)[2].max_packet_size, 1024);

  const auto if0 = lu::interface_endpoints(config, 0);
  ASSERT_TRUE(if0.has_value());
  ASSERT_EQ(if0->size(), 1u);
  EXPECT_EQ((*if0)[0].address, 0x84);
  EXPECT_FALSE(lu::interface_endpoints(config, 2).has_value());
}

TEST(LibusbDescriptors, BulkEndpointChecks) {
  const EndpointDescriptor eps[] = {
      {0x81, EndpointType::Bulk, 512}, {0x02, EndpointType::Bulk, 512}, {0x83, EndpointType::Interrupt, 64}};
  const auto in = lu::find_bulk_endpoint(eps, 0x81, true);
  ASSERT_TRUE(in.ok());
  EXPECT_EQ(in.value->max_packet_size, 512);
  ASSERT_TRUE(lu::find_bulk_endpoint(eps, 0x02, false).ok());

  const auto missing = lu::find_bulk_endpoint(eps, 0x85, true);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error.text, "endpoint 0x85 is not described by the interface");
  const auto not_bulk = lu::find_bulk_endpoint(eps, 0x83, true);
  ASSERT_FALSE(not_bulk.ok());
  EXPECT_EQ(not_bulk.error.text, "endpoint 0x83 is not a bulk endpoint");
  const auto out_as_in = lu::find_bulk_endpoint(eps, 0x02, true);
  ASSERT_FALSE(out_as_in.ok());
  EXPECT_EQ(out_as_in.error.text, "endpoint 0x02 is not an IN endpoint");
  const auto in_as_out = lu::find_bulk_endpoint(eps, 0x81, false);
  ASSERT_FALSE(in_as_out.ok());
  EXPECT_EQ(in_as_out.error.text, "endpoint 0x81 is not an OUT endpoint");
  EXPECT_EQ(in_as_out.error.status, TransferStatus::InvalidArgument);
}

TEST(LibusbWaiting, DeadlinesNeverOverflow) {
  const auto before = lu::Clock::now();
  const auto past = lu::deadline_after(std::chrono::seconds(-5));
  EXPECT_LE(past, lu::Clock::now());
  EXPECT_GT(lu::deadline_after(tavro::usb::Duration::max()), before + std::chrono::hours(24 * 365));
  // A wait against the clamped "forever" deadline works (no overflow into the past) when the slot is done.
  lu::Waiter waiter;
  lu::TransferSlot slot(waiter);
  slot.done = true;
  EXPECT_TRUE(lu::wait_done(slot, lu::deadline_after(tavro::usb::Duration::max())));
}

TEST(LibusbWaiting, CompletionCallbackHandsTheOutcomeToTheWaiter) {
  lu::Waiter waiter;
  lu::TransferSlot slot(waiter);
  ASSERT_TRUE(slot.valid());
  ASSERT_TRUE(slot.reserve(64));
  slot.transfer->user_data = &slot;
  lu::arm(slot);
  EXPECT_FALSE(lu::wait_done(slot, lu::deadline_after(std::chrono::milliseconds(1))));

  // What libusb's event thread does when the transfer comes back: the callback runs on another thread.
  slot.transfer->status = LIBUSB_TRANSFER_STALL;
  slot.transfer->actual_length = 5;
  std::thread completer([&] { lu::on_transfer_done(slot.transfer); });
  EXPECT_TRUE(lu::wait_done(slot, lu::deadline_after(std::chrono::seconds(30))));
  completer.join();
  EXPECT_EQ(slot.outcome.status, TransferStatus::Stall);
  EXPECT_EQ(slot.outcome.actual, 5u);
  // Already back: returns at once, even with its limit passed, and nothing is parked.
  EXPECT_TRUE(lu::wait_returned(slot, lu::deadline_after(tavro::usb::Duration::zero()), "test"));
  EXPECT_TRUE(slot.valid());

  // Re-arming clears the previous outcome so that a stale completion is never mistaken for the next one.
  lu::arm(slot);
  EXPECT_FALSE(slot.done);
  EXPECT_TRUE(slot.outcome.ok());
}

// A cancelled transfer still out at its limit is parked: the slot gives up transfer and buffer (its owner may go),
// and a late completion frees them without reaching the slot.
TEST(LibusbWaiting, ACancelledTransferNotBackInTimeIsParkedUntilItReturns) {
  lu::ParkingLot& lot = lu::ParkingLot::instance();
  const size_t before = lot.size();
  lu::Waiter waiter;
  lu::TransferSlot slot(waiter);
  ASSERT_TRUE(slot.valid());
  ASSERT_TRUE(slot.reserve(64));
  libusb_transfer* const transfer = slot.transfer;
  transfer->user_data = &slot;
  lu::arm(slot);
  EXPECT_FALSE(lu::wait_returned(slot, lu::deadline_after(std::chrono::milliseconds(1)), "test"));
  EXPECT_FALSE(slot.valid());
  EXPECT_EQ(slot.buffer, nullptr);
  EXPECT_EQ(lot.size(), before + 1);

  transfer->status = LIBUSB_TRANSFER_CANCELLED;
  std::thread completer([&] { lu::on_transfer_done(transfer); });  // the event thread, when the kernel lets go
  completer.join();
  EXPECT_EQ(lot.size(), before);
  EXPECT_FALSE(slot.done);  // delivered to nobody: the transfer was freed with its buffer
}

TEST(LibusbContext, EventThreadRunsOnlyWhileThereAreUsers) {
  int err = 0;
  if (lu::Context::instance().get(&err) == nullptr) GTEST_SKIP() << "libusb cannot start here: " << err;
  auto& ctx = lu::Context::instance();
  ASSERT_EQ(ctx.event_users(), 0u) << "no device is open in this test process";
  const std::string name = std::string(lu::kEventThreadName).substr(0, 15);  // the kernel's limit
  ASSERT_EQ(threads_named(name), 0);

  for (int round = 0; round < 2; ++round) {  // the second round proves a stopped thread can be restarted
    ASSERT_TRUE(ctx.add_event_user());
    ASSERT_TRUE(ctx.add_event_user());
    EXPECT_TRUE(eventually([&] { return threads_named(name) == 1; })) << "exactly one event thread";
    ctx.remove_event_user();
    EXPECT_EQ(ctx.event_users(), 1u);
    EXPECT_EQ(threads_named(name), 1) << "still running for the remaining user";
    ctx.remove_event_user();  // interrupts and joins
    EXPECT_EQ(ctx.event_users(), 0u);
    EXPECT_TRUE(eventually([&] { return threads_named(name) == 0; }));
  }
  ctx.remove_event_user();  // an unbalanced release is ignored
  EXPECT_EQ(ctx.event_users(), 0u);
}

TEST(LibusbBackend, SingletonIsStable) {
  auto& a = tavro::usb::libusb_backend();
  auto& b = tavro::usb::libusb_backend();
  EXPECT_EQ(&a, &b);
  EXPECT_STREQ(a.name(), "libusb");
  tavro::usb::Backend* seen[2] = {};
  std::thread t1([&] { seen[0] = &tavro::usb::libusb_backend(); });
  std::thread t2([&] { seen[1] = &tavro::usb::libusb_backend(); });
  t1.join();
  t2.join();
  EXPECT_EQ(seen[0], &a);
  EXPECT_EQ(seen[1], &a);
}

TEST(LibusbBackend, EnumerationSucceedsOrFailsCleanlyWithoutAdapters) {
  auto listed = tavro::usb::libusb_backend().enumerate();
  if (!listed.ok()) {
    EXPECT_FALSE(listed.error.text.empty());
    return;
  }
  for (const auto& d : *listed.value) {
    EXPECT_FALSE(d.vendor_id == 0x16C0 && d.product_id == 0x27D8) << "no TAVRO adapter is attached to this machine";
    EXPECT_FALSE(d.serial.has_value()) << "serials are read from TAVRO adapters only";
    EXPECT_EQ(d.bus_id.size(), 3u);
    EXPECT_NE(d.token, nullptr);
  }
  // Enumeration keeps no state: a second pass sees the same number of devices on an unchanged bus.
  auto again = tavro::usb::libusb_backend().enumerate();
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value->size(), listed.value->size());
}

TEST(LibusbBackend, OpenRefusesTokensItDidNotIssue) {
  tavro::usb::EnumeratedDevice foreign;
  foreign.vendor_id = 0x16C0;
  foreign.product_id = 0x27D8;
  auto none = tavro::usb::libusb_backend().open(foreign);
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error.status, TransferStatus::InvalidArgument);

  // A token of another backend (e.g. the simulator's) must not be mistaken for a libusb_device.
  foreign.token = std::make_shared<int>(42);
  auto other = tavro::usb::libusb_backend().open(foreign);
  ASSERT_FALSE(other.ok());
  EXPECT_EQ(other.error.status, TransferStatus::InvalidArgument);
  EXPECT_EQ(other.error.text, "device was not enumerated by the libusb backend");
}
