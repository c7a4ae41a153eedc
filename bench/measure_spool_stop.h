#ifndef VX_BENCH_MEASURE_SPOOL_STOP_H
#define VX_BENCH_MEASURE_SPOOL_STOP_H

#include "bench_support.h"

namespace vxbench {

// A stop with a full spool of many files. A JSON record on standard output.
//
// A folder of --files (100,000) spooled payloads, at its "spool_max_bytes";
// a channel whose collector refuses connections spools --payloads (20,000)
// more, which the full folder turns away, and the plug-in is stopped: the
// stop must take under 2 s.
int MeasureSpoolStop(const Args &args);

} // namespace vxbench

#endif
