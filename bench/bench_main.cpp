#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "measure_parallel.h"
#include "measures.h"

namespace {

// A port no one listens on at this moment, for the collector to bind.
int PrintFreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        perror("free-port");
        return 1;
    }
    printf("%d\n", ntohs(addr.sin_port));
    close(fd);
    return 0;
}

void Usage()
{
    fprintf(stderr,
        "usage: vx_bench COMMAND [--name value]...\n"
        "  throughput --url U --out F [--rounds 25] [--seconds 0.2] [--sizes 64,1024,...]\n"
        "  cpu-run    --mode plugin|bare --url U [--count 1000] [--size 1024]\n"
        "  memory     --mode post|build --url U --out F [--size 268435456]\n"
        "  stop       --url U --out F [--idle-reps 20] [--slow-reps 5]\n"
        "  reload     --out F [--channels 10000] [--repeat 20]\n"
        "  parallel-delay      [--delay-ms 10] [--in-flight 32] [--rounds 6] [--posts 3000]\n"
        "  parallel-throughput --url U [--size 1024] [--in-flight 8] [--rounds 10] [--seconds 0.3]\n"
        "  parallel-hung       [--in-flight 8] [--delay-ms 0] [--rounds 6] [--posts 20000]\n"
        "  parallel-latency    [--samples 200]\n"
        "  parallel-memory     [--offer-mib 1024] [--payload-kib 1024]\n"
        "    (parallel-*: JSON records on standard output)\n"
        "  report     --raw F --out results.md [--plot-data F]\n"
        "  free-port\n"
        "Every command but report and reload takes --plugin PATH (default: the built plug-in).\n");
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
        vxbench::Args args(argc, argv, 2);
        if (command == "throughput") return vxbench::MeasureThroughput(args);
        if (command == "cpu-run") return vxbench::RunCpuWorkload(args);
        if (command == "memory") return vxbench::MeasureMemory(args);
        if (command == "stop") return vxbench::MeasureStop(args);
        if (command == "reload") return vxbench::MeasureReload(args);
        if (command == "report") return vxbench::WriteReport(args);
        if (command == "parallel-delay") return vxbench::MeasureParallelDelay(args);
        if (command == "parallel-throughput") return vxbench::MeasureParallelThroughput(args);
        if (command == "parallel-hung") return vxbench::MeasureParallelHung(args);
        if (command == "parallel-latency") return vxbench::MeasureParallelLatency(args);
        if (command == "parallel-memory") return vxbench::MeasureParallelMemory(args);
    }
    catch (const std::exception &e) {
        fprintf(stderr, "vx_bench %s: %s\n", command.c_str(), e.what());
        return 1;
    }
    Usage();
    return 2;
}
