#ifndef VX_BENCH_MEASURE_ADAPTIVE_H
#define VX_BENCH_MEASURE_ADAPTIVE_H

#include "bench_support.h"

namespace vxbench {

// A channel tuned to its collectors. Each writes one JSON object per line on
// standard output (per-setting records, then one summary with its targets)
// and progress to standard error.

// A collector that serves --servers (16) posts at once for --delay-ms (10)
// each and queues the rest: "max_in_flight": "auto" against the best fixed
// limit of a sweep, in posts per second, and its median latency against the
// latency of one post alone.
int MeasureAdaptiveQueueing(const Args &args);
// A collector that answers 503 past --refuse-above (8) posts at once: "auto"
// against the best fixed limit in successes per second, and its share of
// 503s.
int MeasureAdaptiveRefusing(const Args &args);
// A collector without a limit that answers after --delay-ms (10): how long
// "auto" takes from its first post to --target (32) posts in flight.
int MeasureAdaptiveRampUp(const Args &args);
// A stream of posts to a channel with a fallback URL whose first URL is
// killed halfway: the longest gap in deliveries against the back-off, and
// every payload delivered once.
int MeasureFallbackOutage(const Args &args);

} // namespace vxbench

#endif
