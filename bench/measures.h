#ifndef VX_BENCH_MEASURES_H
#define VX_BENCH_MEASURES_H

#include "bench_support.h"

namespace vxbench {

// Each appends records (records.h) to the file named by --out and writes a
// short progress line per step to standard output; the report reads the
// records.
int MeasureThroughput(const Args &args);
int RunCpuWorkload(const Args &args);
int MeasureMemory(const Args &args);
int MeasureStop(const Args &args);
int MeasureReload(const Args &args);
int MeasureReplay(const Args &args);
// vxsink: a healthy channel beside a hung one, against it alone (JSON
// records on standard output).
int MeasureVxsinkHung(const Args &args);
int WriteReport(const Args &args);

// Throws when the plug-in logged anything: a failed post is logged, never
// thrown, so a quiet log is the proof that every post got its 200.
void RequireQuietLog(AgentScope &agent, const char *what);

} // namespace vxbench

#endif
