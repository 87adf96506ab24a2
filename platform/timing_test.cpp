#include "platform/timing.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/event.h"

namespace qv {
namespace {

TEST(Timing, TickDifferenceSurvivesWrapAround) {
  EXPECT_EQ(TickDiff(5u, 0xFFFFFFFBu), 10);
  EXPECT_EQ(TickDiff(0xFFFFFFFBu, 5u), -10);
  EXPECT_LE(TickDiff(GetTickCount32() - 1, GetTickCount32()), 0);
}

TEST(Timing, ScalingKeepsFloors) {
  Timings saved = GetTimings();
  SetTimings(Timings{});
  EXPECT_EQ(GetTimings().deletePauseMs, 3000);
  EXPECT_EQ(GetTimings().imapIdleRenewMs, 25 * 60 * 1000);
  EXPECT_EQ(GetTimings().secretCommandTimeoutMs, 10000);
  ScaleTimings(0);
  EXPECT_EQ(GetTimings().imapIdleRenewMs, 1000);
  EXPECT_EQ(GetTimings().secretCommandTimeoutMs, 1000);
  EXPECT_EQ(GetTimings().deletePauseMs, 0);
  EXPECT_EQ(GetTimings().socketReceiveTimeoutMs, 1000);
  EXPECT_GT(GetTimings().workerPollMs, 0);
  EXPECT_EQ(GetTimings().siblingPollCount, 361);
  SetTimings(Timings{});
  ScaleTimings(0.5);
  EXPECT_EQ(GetTimings().deletePauseMs, 1500);
  EXPECT_EQ(GetTimings().socketReceiveTimeoutMs, 30000);
  EXPECT_EQ(GetTimings().secretCommandTimeoutMs, 5000);
  SetTimings(saved);
}

TEST(Timing, AnAbortEndsSleepsAtOnce) {
  auto start = std::chrono::steady_clock::now();
  RequestAbort();
  SleepMs(60000);
  EXPECT_TRUE(AbortRequested());
  ClearAbort();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(AbortRequested());
}

TEST(Event, ManualResetStaysSignalled) {
  Event event("QuorvexRequestCapture");
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(10));  // still set: manual reset
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_EQ(event.name(), "QuorvexRequestCapture");
}

}  // namespace
}  // namespace qv
