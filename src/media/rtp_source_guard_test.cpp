// SPDX-License-Identifier: Apache-2.0
// Tests of the source guard's rules on their own: the signalled sender, the one latch in the
// first two seconds, the lock and a new far end (the same rules on real sockets are in
// rtp_session_test, and against a third program in tests/e2e/hijack_e2e.py).
#include "media/rtp_source_guard.h"

#include <gtest/gtest.h>

namespace quillet::media {
namespace {

using Verdict = RtpSourceGuard::Verdict;

const platform::SocketAddress kSignalled =
    platform::SocketAddress::ipv4(platform::ipv4(127, 0, 0, 1), 4000);
const platform::SocketAddress kNat =
    platform::SocketAddress::ipv4(platform::ipv4(127, 0, 0, 1), 4002);
const platform::SocketAddress kStranger =
    platform::SocketAddress::ipv4(platform::ipv4(127, 0, 0, 2), 4000);
constexpr uint32_t kStart = 0xFFFFFC00;  // the window runs across the tick's wrap

TEST(RtpSourceGuard, TheSignalledSenderLocksInAndEveryOtherIsAStranger) {
  RtpSourceGuard guard;
  guard.arm(kSignalled, false, kStart);
  // Not RTP the call uses: taken from the far end (the buffer drops it), but no lock.
  EXPECT_EQ(guard.check(kSignalled, false, kStart + 10), Verdict::Take);
  EXPECT_FALSE(guard.locked());
  EXPECT_EQ(guard.check(kSignalled, true, kStart + 20), Verdict::Take);
  EXPECT_EQ(guard.locked(), kSignalled);
  EXPECT_EQ(guard.check(kStranger, true, kStart + 30), Verdict::Stranger);
  EXPECT_EQ(guard.check(kNat, true, kStart + 40), Verdict::Stranger);
  EXPECT_EQ(guard.check(kSignalled, true, kStart + 60000), Verdict::Take);

  // A far end that is silent for long is still taken when it begins at last.
  guard.arm(kSignalled, false, kStart);
  EXPECT_EQ(guard.check(kStranger, true, kStart + RtpSourceGuard::kLatchWindowMs),
            Verdict::Stranger);
  EXPECT_EQ(guard.check(kSignalled, true, kStart + 30000), Verdict::Take);
  EXPECT_EQ(guard.locked(), kSignalled);
}

TEST(RtpSourceGuard, AnotherSenderIsLatchedOntoOnlyInTheWindowAndOnlyOnce) {
  for (bool latch : {false, true}) {
    SCOPED_TRACE(latch ? "far end behind a NAT" : "far end silent at its address");
    RtpSourceGuard guard;
    guard.arm(kSignalled, latch, kStart);
    // Datagrams that are not the call's RTP neither lock in nor count as strangers.
    EXPECT_EQ(guard.check(kStranger, false, kStart + 5), Verdict::Ignore);
    EXPECT_EQ(guard.check(kNat, true, kStart + RtpSourceGuard::kLatchWindowMs - 1), Verdict::Take);
    EXPECT_EQ(guard.locked(), kNat);
    EXPECT_EQ(guard.check(kStranger, true, kStart + 2500), Verdict::Stranger);
    EXPECT_EQ(guard.check(kNat, true, kStart + 2500), Verdict::Take);
    // The address the SDP names takes over from a latch made while it was silent; behind
    // a NAT it is an address of the far end's own network, and the latch stands.
    EXPECT_EQ(guard.check(kSignalled, true, kStart + 3000),
              latch ? Verdict::Stranger : Verdict::Take);
    EXPECT_EQ(guard.locked(), latch ? kNat : kSignalled);
    EXPECT_EQ(guard.check(kNat, true, kStart + 3000), latch ? Verdict::Take : Verdict::Stranger);

    // Too late: two seconds after arming, nobody new is latched onto.
    guard.arm(kSignalled, latch, kStart);
    EXPECT_EQ(guard.check(kNat, true, kStart + RtpSourceGuard::kLatchWindowMs), Verdict::Stranger);
    EXPECT_EQ(guard.check(kNat, false, kStart + RtpSourceGuard::kLatchWindowMs), Verdict::Stranger);
    EXPECT_FALSE(guard.locked());
  }
}

TEST(RtpSourceGuard, ArmingAgainForANewFarEndForgetsTheLock) {
  RtpSourceGuard guard;
  guard.arm(kSignalled, false, kStart);
  EXPECT_EQ(guard.check(kSignalled, true, kStart + 20), Verdict::Take);
  guard.arm(kStranger, false, kStart + 60000);
  EXPECT_EQ(guard.check(kSignalled, true, kStart + 60020), Verdict::Take);  // latched
  guard.arm(kStranger, false, kStart + 70000);
  EXPECT_EQ(guard.check(kStranger, true, kStart + 70020), Verdict::Take);
  EXPECT_EQ(guard.check(kSignalled, true, kStart + 70040), Verdict::Stranger);

  // A wider window (a tool that takes whoever sends) latches late, still only once.
  guard.arm(kSignalled, false, kStart, UINT32_MAX);
  EXPECT_EQ(guard.check(kNat, true, kStart + 60000), Verdict::Take);
  EXPECT_EQ(guard.check(kStranger, true, kStart + 60020), Verdict::Stranger);
}

}  // namespace
}  // namespace quillet::media
