// The adaptive in-flight limit on its own, driven by a simulated collector
// on a simulated clock: how far it grows, where it settles, how it backs
// off, and what it counts as latency.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <queue>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "delivery/adaptive_limit.h"

namespace {

using Clock = htsAdaptiveLimit::Clock;
using Outcome = htsAdaptiveLimit::Outcome;
using std::chrono::microseconds;

// A collector as the limit sees it: `servers` posts served at once for
// `service_ms` each, the rest queued in order; past `refuse_above` posts at
// once (0: never) the extra ones are refused at once, as a 503.
struct Collector {
    uint32_t servers;
    double service_ms;
    uint32_t refuse_above = 0;
};

struct SimulatedRun {
    uint64_t posts = 0;
    uint64_t refused = 0;
    uint32_t highest = 0;
    // The limit at each tenth of the run, and at its end.
    std::vector<uint32_t> limits;
    double seconds = 0;
};

// Runs a channel with an endless backlog against `collector` for `posts`
// posts; each post starts as soon as the limit allows.
SimulatedRun Simulate(htsAdaptiveLimit &limit, const Collector &collector, uint64_t posts)
{
    struct Post {
        Clock::time_point end;
        htsAdaptiveLimit::Ticket ticket;
        Outcome outcome;
        bool operator>(const Post &o) const { return end > o.end; }
    };
    std::priority_queue<Post, std::vector<Post>, std::greater<>> running;
    // When each server is free next.
    std::vector<Clock::time_point> servers(collector.servers, Clock::time_point{});
    Clock::time_point now{};
    SimulatedRun run;
    uint64_t started = 0;
    while (run.posts < posts) {
        while (running.size() < limit.Current() && started < posts) {
            const htsAdaptiveLimit::Ticket ticket = limit.Started(running.size() + 1, now);
            started++;
            if (collector.refuse_above != 0 && running.size() >= collector.refuse_above) {
                running.push({ now + microseconds(500), ticket, Outcome::BackPressure });
                continue;
            }
            auto server = std::min_element(servers.begin(), servers.end());
            const Clock::time_point begin = std::max(now, *server);
            *server = begin + microseconds(static_cast<int64_t>(collector.service_ms * 1000));
            running.push({ *server, ticket, Outcome::Answered });
        }
        if (running.empty()) break;
        Post post = running.top();
        running.pop();
        now = post.end;
        limit.Ended(post.ticket, post.outcome, now);
        run.posts++;
        if (post.outcome == Outcome::BackPressure) run.refused++;
        run.highest = std::max(run.highest, limit.Current());
        if (run.posts % (posts / 10) == 0) run.limits.push_back(limit.Current());
    }
    run.seconds = std::chrono::duration<double>(now.time_since_epoch()).count();
    return run;
}

struct Case {
    const char *name;
    Collector collector;
    uint32_t ceiling;
    uint64_t posts;
    // Where the limit is over the last half of the run.
    uint32_t settles_at_least;
    uint32_t settles_at_most;
    // The most posts refused, per thousand.
    double refused_per_mille;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class AdaptiveLimitAgainst : public testing::TestWithParam<Case> { };

TEST_P(AdaptiveLimitAgainst, SettlesWhereTheCollectorIsBusyButNotQueued)
{
    const Case &c = GetParam();
    htsAdaptiveLimit limit(c.ceiling);
    EXPECT_EQ(limit.Current(), 1u);
    const SimulatedRun run = Simulate(limit, c.collector, c.posts);
    ASSERT_EQ(run.posts, c.posts);
    for (size_t i = run.limits.size() / 2; i < run.limits.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_GE(run.limits[i], c.settles_at_least);
        EXPECT_LE(run.limits[i], c.settles_at_most);
    }
    EXPECT_LE(run.highest, c.ceiling);
    EXPECT_LE(1000.0 * static_cast<double>(run.refused) / static_cast<double>(run.posts), c.refused_per_mille);
    EXPECT_NEAR(limit.BaselineMs(), c.collector.service_ms, c.collector.service_ms * 0.05);
}

INSTANTIATE_TEST_SUITE_P(Collectors, AdaptiveLimitAgainst,
    testing::Values(
        // Nothing holds it back: up to the ceiling, whichever it is.
        Case{ "unbounded_to_default_ceiling", { 1000, 10.0 }, 64, 20000, 64, 64, 0 },
        Case{ "unbounded_to_low_ceiling", { 1000, 10.0 }, 5, 2000, 5, 5, 0 },
        // Sixteen at once, the rest queued: a little above sixteen, where
        // the queue adds latency but not much.
        Case{ "queues_past_16", { 16, 10.0 }, 64, 40000, 16, 22, 0 },
        Case{ "queues_past_4_slow", { 4, 50.0 }, 64, 4000, 4, 6, 0 },
        // Refuses past eight: eight most of the time, a rare probe of nine.
        Case{ "refuses_past_8", { 1000, 10.0, 8 }, 64, 40000, 5, 9, 5 },
        // One post per round probes a lot more often per post.
        Case{ "refuses_past_1", { 1000, 10.0, 1 }, 64, 4000, 1, 2, 20 }),
    [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

// Each row: posts started and ended on a clock the test moves, and the limit
// and baseline that follow.
struct Step {
    double at_ms;
    enum { Start, End } what;
    size_t post; // index into the posts started so far
    Outcome outcome = Outcome::Answered;
};

struct Sequence {
    const char *name;
    uint32_t ceiling;
    std::vector<Step> steps;
    uint32_t limit;
    double baseline_ms;
};

void PrintTo(const Sequence &s, std::ostream *os) { *os << s.name; }

class AdaptiveLimitSequence : public testing::TestWithParam<Sequence> { };

TEST_P(AdaptiveLimitSequence, CountsOnlyWhatThePostsThemselvesTook)
{
    const Sequence &s = GetParam();
    htsAdaptiveLimit limit(s.ceiling);
    std::vector<htsAdaptiveLimit::Ticket> tickets;
    size_t in_flight = 0;
    for (const Step &step : s.steps) {
        const Clock::time_point at{ microseconds(static_cast<int64_t>(step.at_ms * 1000)) };
        if (step.what == Step::Start) {
            tickets.push_back(limit.Started(++in_flight, at));
        }
        else {
            limit.Ended(tickets.at(step.post), step.outcome, at);
            in_flight--;
        }
    }
    EXPECT_EQ(limit.Current(), s.limit);
    EXPECT_DOUBLE_EQ(limit.BaselineMs(), s.baseline_ms);
}

constexpr auto S = Step::Start;
constexpr auto E = Step::End;

INSTANTIATE_TEST_SUITE_P(Rows, AdaptiveLimitSequence,
    testing::Values(
        // A post that failed, waited 500 ms and was tried again: its try
        // took 10 ms, and that is the latency, not the 515 since the first.
        Sequence{ "retry_wait_is_not_latency", 8,
            { { 0, S, 0 }, { 5, E, 0, Outcome::BackPressure }, { 505, S, 1 }, { 515, E, 1 } }, 1, 10.0 },
        // Two posts of one round refused together bring the limit down once.
        Sequence{ "one_decrease_for_posts_in_flight_together", 8,
            { { 0, S, 0 }, { 10, E, 0 }, { 10, S, 1 }, { 20, E, 1 }, { 20, S, 2 }, { 20, S, 3 },
                { 30, E, 2 }, { 30, E, 3 }, { 30, S, 4 }, { 30, S, 5 }, { 30, S, 6 },
                { 31, E, 4, Outcome::BackPressure }, { 31, E, 5, Outcome::BackPressure },
                { 31, E, 6, Outcome::BackPressure } },
            2, 10.0 },
        // A limit of one goes no lower, and a failure that is not back-pressure
        // (a certificate, a refusal for good) neither moves it nor counts.
        Sequence{ "floor_and_other_failures", 8,
            { { 0, S, 0 }, { 3, E, 0, Outcome::BackPressure }, { 3, S, 1 }, { 4, E, 1, Outcome::Other },
                { 4, S, 2 }, { 14, E, 2 } },
            1, 10.0 },
        // Latency well above the baseline brings it down even without errors.
        Sequence{ "latency_rise", 8,
            { { 0, S, 0 }, { 10, E, 0 }, { 10, S, 1 }, { 20, E, 1 }, { 20, S, 2 }, { 20, S, 3 },
                { 30, E, 2 }, { 30, E, 3 }, { 30, S, 4 }, { 30, S, 5 }, { 30, S, 6 }, { 70, E, 4 },
                { 70, E, 5 }, { 70, E, 6 } },
            2, 10.0 }),
    [](const testing::TestParamInfo<Sequence> &info) { return std::string(info.param.name); });

TEST(AdaptiveLimit, ALoweredCeilingTakesTheLimitDownAtOnce)
{
    htsAdaptiveLimit limit(64);
    Simulate(limit, { 1000, 1.0 }, 5000);
    ASSERT_EQ(limit.Current(), 64u);
    limit.SetCeiling(3);
    EXPECT_EQ(limit.Current(), 3u);
    EXPECT_EQ(limit.Ceiling(), 3u);
}

} // namespace
