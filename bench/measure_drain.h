#ifndef VX_BENCH_MEASURE_DRAIN_H
#define VX_BENCH_MEASURE_DRAIN_H

#include "bench_support.h"

namespace vxbench {

// The drain of a spool after an outage. A JSON record on standard output,
// progress on standard error.
//
// A stream at --rate (2000) payloads per second to two channels, each with a
// spool and --in-flight (4) posts; one collector is down for --outage-s (60)
// seconds between --around-s of normal running, and the plug-in restarts in
// the middle of the outage. Every payload must reach each collector once (a
// payload in flight at the restart may arrive twice); the down channel's
// spool must drain at least 0.8 times the live rate beside the live stream,
// the healthy channel keep 0.95 of its rate, and the peak resident memory
// during the outage stay within 32 MiB of the peak before it.
int MeasureDrainOutage(const Args &args);

} // namespace vxbench

#endif
