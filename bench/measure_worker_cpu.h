#ifndef VX_BENCH_MEASURE_WORKER_CPU_H
#define VX_BENCH_MEASURE_WORKER_CPU_H

#include "bench_support.h"

namespace vxbench {

// The process's CPU seconds per second of wall time (the plug-in's worker
// being the only thread not blocked) over --seconds (5): parallel delivery
// idle with channels configured, and during an outage whose due retry has no
// free place. One JSON summary record each on standard output.
int MeasureWorkerCpu(const Args &args);

} // namespace vxbench

#endif
