#ifndef VX_BENCH_MEASURE_COMPRESSION_H
#define VX_BENCH_MEASURE_COMPRESSION_H

#include "bench_support.h"

namespace vxbench {

// The plug-in's body compression (htsBodyCompressor) against the gzip and
// zstd programs at the same level on the same bytes: bodies of flow records
// made from the examples' flows, CPU seconds per MiB and compressed size
// against the original, ours / the program's. JSON records on standard
// output (one per encoding, level and body size; a summary per encoding at
// its default level and 8 MiB bodies), progress on standard error. The
// program's figure is its CPU time on each body's file less its CPU time on
// an empty file.
// --bodies (4) distinct bodies per size; --mib (16) MiB compressed by ours
// per row at least, so small bodies give a steady figure.
int MeasureCompression(const Args &args);

} // namespace vxbench

#endif
