#ifndef VX_BENCH_MEASURE_RETRY_H
#define VX_BENCH_MEASURE_RETRY_H

#include "bench_support.h"

namespace vxbench {

// Retries and the spool. JSON records on standard output, progress on
// standard error.

// --posts (100000) payloads through a collector that answers 503 to a
// --fail-share (0.2) of the posts at random, with --retries (5) and a 1 ms
// back-off, against the same through a collector that never fails: posts
// per second of both, and how often each payload arrived.
int MeasureRetryFlaky(const Args &args);
// A stream at --rate (2000) payloads per second to two channels; one
// collector is down for --outage-s (30) seconds in the middle, its channel
// spooling. The spool is then replayed with vxsink (--vxsink PATH): every
// payload must have arrived once; the healthy channel's posts per second
// during the outage against before it.
int MeasureRetryOutage(const Args &args);

} // namespace vxbench

#endif
