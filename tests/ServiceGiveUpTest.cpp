// When a Windows service whose health stays false gives up, so that the
// recovery actions restart it (the decision is portable; the Windows
// service host acts on it).
#include <gtest/gtest.h>

#include <chrono>

#include "platform/ServiceGiveUp.h"

namespace {

using namespace std::chrono_literals;

TEST(ServiceGiveUp, OnlyAHealthFalseWithoutABreakForLongerThanTheBoundGivesUp) {
  KxServiceGiveUp giveUp;
  const auto bound = KxServiceGiveUp::kBound;
  const auto t0 = std::chrono::steady_clock::time_point{} + 10h;
  EXPECT_FALSE(giveUp.Note(true, t0));
  EXPECT_FALSE(giveUp.Note(false, t0 + 5s));
  EXPECT_FALSE(giveUp.Note(false, t0 + 5s + bound));
  // One true answer starts the count over.
  EXPECT_FALSE(giveUp.Note(true, t0 + 10s + bound));
  EXPECT_FALSE(giveUp.Note(false, t0 + 15s + bound));
  EXPECT_FALSE(giveUp.Note(false, t0 + 15s + 2 * bound));
  EXPECT_TRUE(giveUp.Note(false, t0 + 16s + 2 * bound));
  EXPECT_TRUE(giveUp.Note(false, t0 + 20s + 2 * bound));
  // README documents it beside the second instance's 3.
  EXPECT_EQ(KxServiceGiveUp::kExitCode, 4u);
}

}  // namespace
