// The test-only choice of JACK cycles to make late: what it accepts and which cycles it picks.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "midi/backends/late_cycles.h"

namespace rt88h::midi {
namespace {

TEST(LateCycles, AListMakesExactlyThoseCyclesLate) {
  LateCycles late;
  std::string error;
  ASSERT_TRUE(parseLateCycles("30,7,12", &late, &error)) << error;
  EXPECT_TRUE(late.active);
  EXPECT_DOUBLE_EQ(late.periods, 1.5);
  for (uint64_t cycle = 1; cycle <= 40; ++cycle) {
    EXPECT_EQ(late.lateIn(cycle), cycle == 7 || cycle == 12 || cycle == 30) << cycle;
  }
  ASSERT_TRUE(parseLateCycles("5:2.5", &late, &error)) << error;
  EXPECT_TRUE(late.lateIn(5));
  EXPECT_DOUBLE_EQ(late.periods, 2.5);
}

TEST(LateCycles, APrefixCountsMessagesInstead) {
  for (const auto& [pattern, beforeSend] :
       {std::pair<const char*, bool>{"send:4,9:4.5", false}, {"before-send:4,9:4.5", true}}) {
    LateCycles late;
    std::string error;
    ASSERT_TRUE(parseLateCycles(pattern, &late, &error)) << error;
    EXPECT_EQ(late.counts, LateCycles::Counts::Sends) << pattern;
    EXPECT_EQ(late.beforeSend, beforeSend) << pattern;
    EXPECT_TRUE(late.lateIn(4) && late.lateIn(9) && !late.lateIn(5)) << pattern;
    EXPECT_DOUBLE_EQ(late.periods, 4.5);
  }
  LateCycles calls;
  ASSERT_TRUE(parseLateCycles("random:3:1", &calls, nullptr));
  EXPECT_EQ(calls.counts, LateCycles::Counts::Calls);
}

TEST(LateCycles, RandomTakesAboutItsShareAndTheSeedDecidesWhich) {
  LateCycles a;
  LateCycles b;
  LateCycles c;
  ASSERT_TRUE(parseLateCycles("random:10:1", &a, nullptr));
  ASSERT_TRUE(parseLateCycles("random:10:1", &b, nullptr));
  ASSERT_TRUE(parseLateCycles("random:10:2", &c, nullptr));
  int lateA = 0;
  int differ = 0;
  for (uint64_t cycle = 1; cycle <= 10000; ++cycle) {
    EXPECT_EQ(a.lateIn(cycle), b.lateIn(cycle));
    lateA += a.lateIn(cycle) ? 1 : 0;
    differ += a.lateIn(cycle) != c.lateIn(cycle) ? 1 : 0;
  }
  EXPECT_GT(lateA, 800);
  EXPECT_LT(lateA, 1200);
  EXPECT_GT(differ, 0);
}

TEST(LateCycles, NoneAndZeroPercentAreOff) {
  LateCycles late;
  EXPECT_FALSE(late.lateIn(1));
  ASSERT_TRUE(parseLateCycles("random:0:9", &late, nullptr));
  EXPECT_FALSE(late.active);
  ASSERT_TRUE(parseLateCycles("random:100:9", &late, nullptr));
  EXPECT_TRUE(late.lateIn(1) && late.lateIn(2) && late.lateIn(999));
}

TEST(LateCycles, MalformedPatternsAreRefusedWithAReason) {
  for (const char* pattern :
       {"", "random", "random:10", "random:101:1", "random:x:1", "random:5:1:1", "random:5:1:11",
        "0", "1,,2", "-3", "4:0.5", "1:2:3", "random:5:1:2:3", "send:", "send:before-send:3"}) {
    LateCycles late;
    std::string error;
    EXPECT_FALSE(parseLateCycles(pattern, &late, &error)) << pattern;
    EXPECT_NE(error.find("late cycles"), std::string::npos) << pattern;
  }
}

}  // namespace
}  // namespace rt88h::midi
