#ifndef VX_BENCH_MEASURE_PARALLEL_H
#define VX_BENCH_MEASURE_PARALLEL_H

#include "bench_support.h"

namespace vxbench {

// Parallel delivery. Each writes one JSON object per line on standard output
// (per-round records, then one summary with its targets) and progress to
// standard error.

// Own collector answering each POST after --delay-ms (10): the plug-in with
// --in-flight (32) posts in flight against a bare libcurl multi loop with as
// many, and against serial delivery.
int MeasureParallelDelay(const Args &args);
// The same against the collector at --url (nginx), --size (1024) byte
// bodies, --in-flight (8).
int MeasureParallelThroughput(const Args &args);
// HTTP/2 over TLS (--url https://..., --ca FILE), 32 posts in flight as streams.
int MeasureParallelHttp2(const Args &args);
// A healthy channel's posts per second with a hung channel beside it,
// against the same without the hung one; the healthy collector answers
// after --delay-ms (0), with --in-flight (8) posts in flight.
int MeasureParallelHung(const Args &args);
// Time from QueuePayload to the collector's receipt of the request, for a
// payload queued while the worker sleeps on transfers that never end.
int MeasureParallelLatency(const Args &args);
// Peak resident memory with --offer-mib (1024) MiB offered to a hung channel
// under the default backlog bound, against the same run with nothing offered.
int MeasureParallelMemory(const Args &args);

// One run for an instruction count, nothing measured in it: --count (1000)
// posts of --size (1024) bytes to --url with --in-flight (8) in flight, by
// the plug-in (--mode plugin) or the bare multi loop (--mode bare), after a
// warm-up of one post per place. Run at two counts so start-up cancels out.
int RunParallelCpuWorkload(const Args &args);

} // namespace vxbench

#endif
