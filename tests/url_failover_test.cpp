// Which URL of a channel takes the next post, on a clock the test moves:
// down on a failure, probed after the back-off (doubled for each failed
// probe), up once answered.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "delivery/url_failover.h"

namespace {

using Clock = htsUrlFailover::Clock;
using std::chrono::milliseconds;

Clock::time_point At(int64_t ms) { return Clock::time_point{ milliseconds(ms) }; }

struct Event {
    int64_t at_ms;
    enum { Pick, Fail, Answer } what;
    size_t url;      // the URL failed or answered; for Pick, the one expected
    int64_t picked_ms = -1; // for Fail: when the post was picked (-1: at_ms)
};

struct Sequence {
    const char *name;
    size_t urls;
    std::vector<Event> events;
    uint64_t down_after; // DownMask() at the end
};

void PrintTo(const Sequence &s, std::ostream *os) { *os << s.name; }

class UrlFailoverSequence : public testing::TestWithParam<Sequence> { };

constexpr auto P = Event::Pick;
constexpr auto F = Event::Fail;
constexpr auto A = Event::Answer;

TEST_P(UrlFailoverSequence, PicksTheFirstUrlThatIsUp)
{
    const Sequence &s = GetParam();
    htsUrlFailover failover;
    failover.Reset(s.urls);
    for (size_t i = 0; i < s.events.size(); i++) {
        const Event &e = s.events[i];
        SCOPED_TRACE(i);
        switch (e.what) {
        case Event::Pick: EXPECT_EQ(failover.Pick(At(e.at_ms)), e.url); break;
        case Event::Fail:
            failover.Failed(e.url, At(e.picked_ms < 0 ? e.at_ms : e.picked_ms), At(e.at_ms), 100, 400);
            break;
        case Event::Answer: failover.Answered(e.url); break;
        }
    }
    EXPECT_EQ(failover.DownMask(), s.down_after);
}

INSTANTIATE_TEST_SUITE_P(Rows, UrlFailoverSequence,
    testing::Values(
        Sequence{ "first_while_up", 3, { { 0, P, 0 }, { 1, A, 0 }, { 2, P, 0 } }, 0 },
        // Down at 10: the next posts go to the second URL until the probe at
        // 110, which goes to the first; answered, it takes the posts again.
        Sequence{ "down_then_probed_then_back", 2,
            { { 10, F, 0 }, { 11, P, 1 }, { 109, P, 1 }, { 110, P, 0 }, { 111, P, 1 }, { 120, A, 0 }, { 121, P, 0 } },
            0 },
        // Failed probes double the wait, up to the maximum: 100, 200, 400,
        // 400.
        Sequence{ "failed_probes_double_the_wait", 2,
            { { 0, F, 0 }, { 100, P, 0 }, { 101, F, 0, 100 }, { 300, P, 1 }, { 301, P, 0 }, { 302, F, 0, 301 },
                { 701, P, 1 }, { 702, P, 0 }, { 703, F, 0, 702 }, { 1102, P, 1 }, { 1103, P, 0 } },
            1 },
        // Posts that were in flight when it went down fail too: they do not
        // push its probe further away.
        Sequence{ "failures_in_flight_together_count_once", 2,
            { { 10, F, 0 }, { 15, F, 0, 5 }, { 16, F, 0, 7 }, { 109, P, 1 }, { 110, P, 0 } }, 1 },
        // Every URL down: the one whose probe is due first.
        Sequence{ "all_down", 3,
            { { 0, F, 1 }, { 10, F, 0 }, { 20, F, 2 }, { 30, P, 1 }, { 100, P, 1 }, { 105, P, 0 } }, 7 },
        // The second going down moves the posts to the third.
        Sequence{ "next_up_in_order", 3, { { 0, F, 0 }, { 1, F, 1 }, { 2, P, 2 }, { 3, A, 1 }, { 4, P, 1 } }, 1 }),
    [](const testing::TestParamInfo<Sequence> &info) { return std::string(info.param.name); });

} // namespace
