#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "measure_compression.h"
#include "measure_adaptive.h"
#include "measure_parallel.h"
#include "measure_drain.h"
#include "measure_retry.h"
#include "measure_spool_stop.h"
#include "measure_worker_cpu.h"
#include "measures.h"
#include "records.h"
#include "test_support.h"

namespace {

// A port no one listens on at this moment, for the collector to bind.
int PrintFreePort()
{
    printf("%d\n", vxtest::UnusedLoopbackPort());
    return 0;
}

void Usage()
{
    fprintf(stderr,
        "usage: vx_bench COMMAND [--name value]...\n"
        "  throughput --url U --out F [--label free] [--rounds 26] [--seconds 0.2]\n"
        "             [--sizes 64,1024,65536,1048576]\n"
        "  cpu-run    --mode plugin|bare|bare-single --url U [--count 1000] [--size 1024]\n"
        "  memory     --mode post|build --url U --out F [--size 268435456]\n"
        "  stop       --url U --out F [--idle-reps 20] [--slow-reps 5] [--backlog 10000]\n"
        "  reload     --out F [--channels 10000] [--repeat 20]\n"
        "  parallel-delay      [--delay-ms 10] [--in-flight 32] [--rounds 6] [--posts 3000]\n"
        "  parallel-throughput --url U [--size 1024] [--in-flight 8] [--rounds 10] [--seconds 0.3]\n"
        "  parallel-http2      --url https://... --ca FILE [--in-flight 32] [--rounds 10] [--seconds 0.5]\n"
        "  parallel-hung       [--in-flight 8] [--delay-ms 0] [--rounds 6] [--posts 20000]\n"
        "  parallel-latency    [--samples 200]\n"
        "  parallel-memory     [--offer-mib 1024] [--payload-kib 1024]\n"
        "  worker-cpu          [--seconds 5]\n"
        "  parallel-cpu-run    --mode plugin|bare --url U [--count 1000] [--size 1024] [--in-flight 8]\n"
        "    (parallel-*: JSON records on standard output)\n"
        "  replay     --url U --out F --vxsink PATH [--rounds 5] [--label pinned]\n"
        "             [--lines-1k 100000] [--lines-64k 5000]\n"
        "  vxsink-hung  [--vxsink PATH] [--lines 20000] [--size 256] [--in-flight 8] [--rounds 5]\n"
        "  retry-flaky  [--posts 100000] [--fail-share 0.2] [--retries 5] [--in-flight 8]\n"
        "  retry-outage [--rate 2000] [--outage-s 30] [--around-s 10] [--vxsink PATH]\n"
        "  drain-outage [--rate 2000] [--outage-s 60] [--around-s 15] [--in-flight 4] [--size 512]\n"
        "  spool-stop   [--files 100000] [--payloads 20000]\n"
        "    (parallel-*, retry-*, drain-*, spool-*: JSON records on standard output)\n"
        "  compression  [--bodies 4] [--mib 16]   (JSON records on standard output)\n"
        "  adaptive-queueing [--delay-ms 10] [--servers 16] [--posts 6000] [--sweep 8,12,16,20,24,32]\n"
        "  adaptive-refusing [--delay-ms 10] [--refuse-above 8] [--posts 6000] [--sweep 4,6,8,10,12]\n"
        "  adaptive-ramp-up  [--delay-ms 10] [--target 32]\n"
        "  fallback-outage   [--rate 2000] [--seconds 4] [--backoff-ms 200]\n"
        "    (adaptive-*, fallback-*: JSON records on standard output)\n"
        "  report     --raw F --out results.md [--plot-data F] [--parallel F.jsonl] [--retry F.jsonl]\n"
        "             [--compression F.jsonl] [--adaptive F.jsonl]\n"
        "  record     F KIND NAME=TEXT|NAME:=NUMBER...   (appends one record to F)\n"
        "  free-port\n"
        "throughput, cpu-run, memory, stop and replay take --plugin PATH (default: the built plug-in).\n");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        Usage();
        return 2;
    }
    const std::string command = argv[1];
    // Progress lines show up as they happen, even through a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        if (command == "free-port") return PrintFreePort();
        if (command == "record") return vxbench::RecordCommand(argc, argv, 2);
        vxbench::Args args(argc, argv, 2);
        if (command == "throughput") return vxbench::MeasureThroughput(args);
        if (command == "cpu-run") return vxbench::RunCpuWorkload(args);
        if (command == "memory") return vxbench::MeasureMemory(args);
        if (command == "stop") return vxbench::MeasureStop(args);
        if (command == "reload") return vxbench::MeasureReload(args);
        if (command == "replay") return vxbench::MeasureReplay(args);
        if (command == "vxsink-hung") return vxbench::MeasureVxsinkHung(args);
        if (command == "report") return vxbench::WriteReport(args);
        if (command == "parallel-delay") return vxbench::MeasureParallelDelay(args);
        if (command == "parallel-throughput") return vxbench::MeasureParallelThroughput(args);
        if (command == "parallel-http2") return vxbench::MeasureParallelHttp2(args);
        if (command == "parallel-hung") return vxbench::MeasureParallelHung(args);
        if (command == "parallel-latency") return vxbench::MeasureParallelLatency(args);
        if (command == "parallel-memory") return vxbench::MeasureParallelMemory(args);
        if (command == "retry-flaky") return vxbench::MeasureRetryFlaky(args);
        if (command == "retry-outage") return vxbench::MeasureRetryOutage(args);
        if (command == "compression") return vxbench::MeasureCompression(args);
        if (command == "drain-outage") return vxbench::MeasureDrainOutage(args);
        if (command == "spool-stop") return vxbench::MeasureSpoolStop(args);
        if (command == "worker-cpu") return vxbench::MeasureWorkerCpu(args);
        if (command == "parallel-cpu-run") return vxbench::RunParallelCpuWorkload(args);
        if (command == "adaptive-queueing") return vxbench::MeasureAdaptiveQueueing(args);
        if (command == "adaptive-refusing") return vxbench::MeasureAdaptiveRefusing(args);
        if (command == "adaptive-ramp-up") return vxbench::MeasureAdaptiveRampUp(args);
        if (command == "fallback-outage") return vxbench::MeasureFallbackOutage(args);
    }
    catch (const std::exception &e) {
        fprintf(stderr, "vx_bench %s: %s\n", command.c_str(), e.what());
        return 1;
    }
    Usage();
    return 2;
}
