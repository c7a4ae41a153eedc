#ifndef HTS_DRAIN_STATE_H
#define HTS_DRAIN_STATE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "delivery/spool.h"

// Consecutive posts failed for a reason that may pass after which a channel
// with a spool counts as down.
constexpr unsigned htsDownAfterFailures = 3;

// A channel's down state and the drain of its spool, for the parallel
// engine. Only channels with a "spool_dir" and "spool_drain" use it.
struct htsDrainState {
    bool enabled = false;
    // Down: every payload for the channel goes to the spool, and one spooled
    // payload at a time probes the collector after the back-off.
    bool down = false;
    unsigned failures = 0; // consecutive posts failed for a reason that may pass
    uint32_t probes = 0;   // failed probes since the channel went down
    std::chrono::steady_clock::time_point probe_due;

    // Read back and not posted yet, oldest first.
    std::deque<htsSpooled> ready;
    bool reading = false; // a read is asked for and not answered yet
    // Not read yet since the start, the channel's return or a change of it.
    bool unknown = true;
    // Spooled payloads are waiting: set by each payload spooled and each
    // read that found some, cleared by a read that found none when nothing
    // was spooled since it was asked for (or all of that was lost).
    bool pending = false;
    unsigned long long spooled_while_down = 0;
    uint64_t puts = 0; // payloads spooled for the channel
    uint64_t puts_at_read = 0;
    // Changes that make files readable again that a read asked for before
    // them may have passed over: payloads handed back to their files, a new
    // folder, refused files let through by a load. An answer asked for
    // before the last of them says nothing about what the spool holds now.
    uint64_t returned = 0;
    uint64_t returned_at_read = 0;
    unsigned long long lost_at_read = 0; // the spool's losses for the channel
    size_t in_flight = 0; // posts of spooled payloads

    // Set by a load that changed the channel: files kept as rejected before
    // then are read again, once.
    bool rejected_too = false;
    int64_t rejected_before_ms = 0;

    // Whether spooled payloads may be waiting: with one post in flight, new
    // payloads then go behind them through the spool, so order holds.
    bool Draining() const noexcept { return pending || !ready.empty() || in_flight > 0; }
};

#endif
