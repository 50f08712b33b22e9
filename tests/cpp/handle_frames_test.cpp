// The frame check shared by the sending methods, and the software receive filter.
#include <gtest/gtest.h>

#include <vector>

#include "handle/frames.hpp"

using namespace tavro;

namespace {
std::vector<uint8_t> bytes(size_t n) { return std::vector<uint8_t>(n, 0xAB); }

CanFrame frame(uint32_t id, uint8_t flags) {
  CanFrame f;
  f.id = id;
  f.flags = flags;
  return f;
}
}  // namespace

TEST(FrameCheck, RefusalsAreBadArgumentsCheckedInOrder) {
  struct Case {
    uint32_t id;
    bool extended, remote;
    uint8_t dlc;
    size_t data;
    const char* message;
  };
  for (const Case& c : {
           Case{0x800, false, false, 0, 0, "arbitration_id exceeds CAN identifier range"},
           Case{0x20000000, true, false, 0, 0, "arbitration_id exceeds CAN identifier range"},
           // The DLC message wins even when the data matches it and the identifier is also wrong.
           Case{0xFFFFFFFF, false, false, 9, 9, "DLC exceeds Classic CAN max of 8"},
           Case{0x800, false, false, 2, 1, "Data length must match DLC (RTR data must be empty)"},
           Case{0x100, false, true, 4, 1, "Data length must match DLC (RTR data must be empty)"},
       }) {
    const auto data = bytes(c.data);
    auto r = check_frame(c.id, c.extended, c.remote, c.dlc, data);
    ASSERT_FALSE(r.ok()) << c.message;
    EXPECT_EQ(r.error().message, c.message);
    EXPECT_EQ(r.error().kind, OpError::Kind::BadArgument) << c.message;
  }
}

TEST(FrameCheck, BuildsTheFrame) {
  EXPECT_TRUE(check_frame(0x7FF, false, false, 0, {}).ok());
  EXPECT_TRUE(check_frame(0x1FFFFFFF, true, false, 0, {}).ok());
  auto remote = check_frame(0x100, false, true, 4, {});
  ASSERT_TRUE(remote.ok());
  EXPECT_EQ(remote.value().dlc, 4);
  EXPECT_EQ(remote.value().flags, FRAME_FLAG_RTR);
  const std::vector<uint8_t> data = {1, 2, 3};
  auto f = check_frame(0x1234567, true, false, 3, data);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f.value().id, 0x1234567u);
  EXPECT_EQ(f.value().flags, FRAME_FLAG_EXTENDED);
  EXPECT_EQ(f.value().channel, 0);
  EXPECT_EQ(f.value().timestamp, 0u);
  EXPECT_EQ(f.value().data, (std::array<uint8_t, 8>{1, 2, 3, 0, 0, 0, 0, 0}));
}

TEST(ReceiveFilter, StandardEntryMatchesOnlyStandardFrames) {
  FilterEntry e;
  ASSERT_TRUE(make_filter_entry(0x100, 0x7FF, 0, &e));
  std::vector<FilterEntry> filters{e};
  EXPECT_TRUE(filter_accepts(filters, frame(0x100, 0)));
  EXPECT_FALSE(filter_accepts(filters, frame(0x101, 0)));
  EXPECT_FALSE(filter_accepts(filters, frame(0x100, FRAME_FLAG_EXTENDED)));
  EXPECT_TRUE(filter_accepts({}, frame(0x101, 0)));
}

TEST(ReceiveFilter, EntryRangesAndEitherFormat) {
  FilterEntry e;
  EXPECT_TRUE(make_filter_entry(0x7FF, 0x7FF, 0, &e));
  EXPECT_FALSE(make_filter_entry(0x800, 0, 0, &e));
  EXPECT_TRUE(make_filter_entry(0x800, 0, -1, &e));
  EXPECT_FALSE(make_filter_entry(0x20000000, 0, 1, &e));
  ASSERT_TRUE(make_filter_entry(0x18DA00F1, 0x1FFFFFFF, 1, &e));
  std::vector<FilterEntry> ext{e};
  EXPECT_TRUE(filter_accepts(ext, frame(0x18DA00F1, FRAME_FLAG_EXTENDED)));
  EXPECT_FALSE(filter_accepts(ext, frame(0x18DA00F1 & 0x7FF, 0)));
  ASSERT_TRUE(make_filter_entry(0x100, 0x700, -1, &e));
  std::vector<FilterEntry> either{e};
  EXPECT_TRUE(filter_accepts(either, frame(0x1FF, 0)));
  EXPECT_TRUE(filter_accepts(either, frame(0x1FF, FRAME_FLAG_EXTENDED)));
}

TEST(ReceiveFilter, ZeroMaskAndInvert) {
  // A zero mask accepts exactly when not inverted; an inverted entry accepts the non-matching frames.
  std::vector<FilterEntry> reject_all{{0, 0, true}};
  EXPECT_FALSE(filter_accepts(reject_all, frame(0x1, 0)));
  std::vector<FilterEntry> not_0x100{{0x100, 0x7FF, true}};
  EXPECT_FALSE(filter_accepts(not_0x100, frame(0x100, 0)));
  EXPECT_TRUE(filter_accepts(not_0x100, frame(0x101, 0)));
  // Remote and error bits take part in the test value.
  std::vector<FilterEntry> remote_only{{0x40000000, 0x40000000, false}};
  EXPECT_TRUE(filter_accepts(remote_only, frame(0x5, FRAME_FLAG_RTR)));
  EXPECT_FALSE(filter_accepts(remote_only, frame(0x5, 0)));
  std::vector<FilterEntry> errors_only{{0x20000000, 0x20000000, false}};
  EXPECT_TRUE(filter_accepts(errors_only, frame(0x40, FRAME_FLAG_ERROR)));
}
