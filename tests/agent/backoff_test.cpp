// The keeper's back-off and keepalive schedule (apps/dtk-agent/backoff.*),
// shared with the fleet benchmark.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "backoff.h"

namespace {

using agent::Backoff;
using agent::BackoffPolicy;
using agent::KeepaliveSchedule;
using agent::Millis;

struct BackoffRow {
    long floor_ms;
    long cap_ms;
    int misses;
    long ceiling_ms;  // min(cap, floor * 2^misses)
};

TEST(Backoff, EveryWaitLiesBetweenTheFloorAndADoublingCappedCeilingAndSpreadsOverIt) {
    const BackoffRow rows[] = {
        {40000, 300000, 1, 80000},  {40000, 300000, 2, 160000}, {40000, 300000, 3, 300000},
        {40000, 300000, 1000, 300000}, {5000, 300000, 6, 300000}, {1000, 1000, 3, 1000},
        {250, 60000, 4, 4000},
    };
    for (const BackoffRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "floor " << row.floor_ms << " cap " << row.cap_ms << " misses "
                                        << row.misses);
        const BackoffPolicy policy{Millis(row.floor_ms), Millis(row.cap_ms)};
        EXPECT_EQ(Backoff(policy, 1).Ceiling(row.misses), Millis(row.ceiling_ms));
        const long span = row.ceiling_ms - row.floor_ms;
        std::set<long> firsts;
        for (uint64_t seed = 1; seed <= 20; seed++) {
            Backoff backoff(policy, seed);
            long low = row.ceiling_ms, high = row.floor_ms;
            for (int i = 0; i < 200; i++) {
                const long wait = backoff.Wait(row.misses).count();
                ASSERT_GE(wait, row.floor_ms);
                ASSERT_LE(wait, row.ceiling_ms);
                low = std::min(low, wait);
                high = std::max(high, wait);
                if (i == 0)
                    firsts.insert(wait);
            }
            // Not degenerate: 200 draws reach both tenths at the ends of the range.
            EXPECT_LE(low, row.floor_ms + span / 10);
            EXPECT_GE(high, row.ceiling_ms - span / 10);
        }
        // Different seeds give different endpoints different waits.
        EXPECT_GE(firsts.size(), span > 0 ? 15u : 1u);
    }
}

TEST(Backoff, KeepaliveComesAtARandomPhaseFirstThenEveryPeriodAndMissesBackOffUntilAnAnswer) {
    // As run keeps its connection at the default keepalive: the first retry
    // after a miss comes 40 to 80 s later.
    const BackoffPolicy policy = agent::KeepaliveBackoff(Millis(60000));
    std::set<long> phases;
    for (uint64_t seed = 1; seed <= 20; seed++) {
        KeepaliveSchedule schedule(Millis(60000), policy, seed);
        const Millis phase = schedule.Answered();
        EXPECT_GE(phase, Millis(1));
        EXPECT_LE(phase, Millis(60000));
        phases.insert(phase.count());
        EXPECT_EQ(schedule.Answered(), Millis(60000));
        for (int miss = 1; miss <= 8; miss++) {
            const Millis wait = schedule.Missed();
            EXPECT_EQ(schedule.misses(), miss);
            EXPECT_GE(wait, policy.floor);
            EXPECT_LE(wait, std::min(policy.cap, policy.floor * (1L << miss)));
        }
        EXPECT_EQ(schedule.Answered(), Millis(60000));
        EXPECT_EQ(schedule.misses(), 0);
        const Millis retry = schedule.Missed();
        EXPECT_GE(retry, Millis(40000));
        EXPECT_LE(retry, Millis(80000));
    }
    EXPECT_GE(phases.size(), 15u);
}

TEST(Backoff, AKeepersFloorIsTwoThirdsOfItsKeepaliveKeptWithin10To40Seconds) {
    const struct {
        long period_ms, floor_ms;
    } rows[] = {{1000, 10000}, {10000, 10000}, {15000, 10000}, {30000, 20000},
                {60000, 40000}, {120000, 40000}, {86400000, 40000}};
    for (const auto& row : rows) {
        const BackoffPolicy policy = agent::KeepaliveBackoff(Millis(row.period_ms));
        EXPECT_EQ(policy.floor, Millis(row.floor_ms)) << "keepalive " << row.period_ms << " ms";
        EXPECT_EQ(policy.cap, Millis(300000)) << "keepalive " << row.period_ms << " ms";
    }
}

}  // namespace
