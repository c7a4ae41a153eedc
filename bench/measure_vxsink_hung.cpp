// vxsink feeding a healthy channel beside one whose collector never answers,
// against the same healthy channel alone, both through vxsink in parallel
// delivery. The hung channel's backlog keeps every payload it is given; input
// must reach the healthy channel as fast as it posts regardless.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "loopback_collector.h"
#include "measures.h"

namespace vxbench {

namespace {

// One vxsink run, killed at the end however it stands: with a hung channel
// it would wait for those posts for ever.
class VxsinkChild
{
public:
    VxsinkChild(const std::string &vxsink, const std::string &plugin, const std::string &conf,
        const std::string &input, const std::string &err, const std::vector<std::string> &channels)
    {
        std::vector<std::string> argv = { vxsink, "--plugin", plugin, "--config", conf };
        for (const std::string &c : channels) {
            argv.push_back("--channel");
            argv.push_back(c);
        }
        std::vector<char *> raw;
        for (std::string &a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        pid = fork();
        if (pid < 0) throw std::runtime_error("fork failed");
        if (pid == 0) {
            const int in_fd = open(input.c_str(), O_RDONLY);
            const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (in_fd < 0 || err_fd < 0) _exit(126);
            dup2(in_fd, STDIN_FILENO);
            dup2(err_fd, STDERR_FILENO);
            execv(raw[0], raw.data());
            _exit(127);
        }
    }
    ~VxsinkChild() { Stop(); }
    VxsinkChild(const VxsinkChild &) = delete;
    VxsinkChild &operator=(const VxsinkChild &) = delete;

    void Stop()
    {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
    }

private:
    pid_t pid = -1;
};

std::string ReadText(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

int MeasureVxsinkHung(const Args &args)
{
    const std::string plugin = args.Get("plugin", VX_PLUGIN_PATH);
    const std::string vxsink = args.Get("vxsink", VX_VXSINK_PATH);
    const long rounds = args.GetLong("rounds", 5);
    const size_t lines = static_cast<size_t>(args.GetLong("lines", 20000));
    const size_t size = static_cast<size_t>(args.GetLong("size", 256));
    const long in_flight = args.GetLong("in-flight", 8);

    TempDir dir;
    LoopbackCollector healthy{ std::chrono::microseconds(0) };
    LoopbackCollector hung(std::chrono::microseconds(0), true);
    const std::string flags = ", \"max_in_flight\": " + std::to_string(in_flight) + " }";
    const std::string ok = "\"ok\": { \"url\": \"" + healthy.Url("/ok") + "\"" + flags;
    const std::string beside = dir.Write("beside.json", "{ \"delivery\": \"parallel\", \"channels\": { " + ok +
        ", \"hung\": { \"url\": \"" + hung.Url("/hung") + "\"" + flags + " } }");
    const std::string alone = dir.Write("alone.json", "{ \"delivery\": \"parallel\", \"channels\": { " + ok + " } }");

    const std::string input = (dir.Path() / "lines.jsonl").string();
    {
        std::ofstream out(input, std::ios::binary);
        for (size_t i = 0; i < lines; i++) {
            std::unique_ptr<uint8_t[]> body = MakeBody(size, static_cast<unsigned>(i));
            out.write(reinterpret_cast<const char *>(body.get()), static_cast<std::streamsize>(size));
            out.put('\n');
        }
        if (!out) throw std::runtime_error("cannot write " + input);
    }
    const std::string err = (dir.Path() / "stderr.txt").string();

    // Healthy posts per second from start to the last answer; starting the
    // process and loading the plug-in count alike in both runs.
    auto run = [&](const std::string &conf, const std::vector<std::string> &channels) {
        const uint64_t before = healthy.Answered();
        const Clock::time_point start = Clock::now();
        VxsinkChild child(vxsink, plugin, conf, input, err, channels);
        if (!healthy.WaitAnswered(before + lines, std::chrono::seconds(120)))
            throw std::runtime_error("healthy channel fell behind: " + std::to_string(healthy.Answered() - before) +
                " of " + std::to_string(lines) + "\n" + ReadText(err));
        const double rate = static_cast<double>(lines) / SecondsSince(start);
        child.Stop();
        std::istringstream log(ReadText(err));
        for (std::string line; std::getline(log, line);) {
            // The stop's lines for the hung channel's held posts are expected.
            if (line.find(": Vornix Agent HTTP Sink Plugin v") != std::string::npos ||
                line.find(": hung: ") != std::string::npos || line.find("queued payloads not sent") != std::string::npos)
                continue;
            throw std::runtime_error("vxsink reported: " + line);
        }
        return rate;
    };

    run(alone, { "ok" });
    std::vector<double> with, without, ratio;
    for (long round = 1; round <= rounds; ++round) {
        double a, b;
        // Alternating the order evens out a machine that slows down.
        if (round % 2 == 1) {
            a = run(beside, { "ok", "hung" });
            b = run(alone, { "ok" });
        }
        else {
            b = run(alone, { "ok" });
            a = run(beside, { "ok", "hung" });
        }
        with.push_back(a);
        without.push_back(b);
        ratio.push_back(a / b);
        printf("%s\n", nlohmann::json({ { "measure", "vxsink_hung_beside_healthy" }, { "round", round },
                                          { "lines", lines }, { "healthy_posts_per_s_with_hung", a },
                                          { "healthy_posts_per_s_alone", b }, { "ratio", a / b } })
                           .dump()
                           .c_str());
        fprintf(stderr, "  vxsink, hung beside healthy, round %ld: %.0f/s with, %.0f/s without, ratio %.3f\n", round, a,
            b, a / b);
    }
    const double r = Median(ratio);
    printf("%s\n", nlohmann::json({ { "measure", "vxsink_hung_beside_healthy" }, { "summary", true },
                                      { "lines", lines }, { "body_bytes", size }, { "max_in_flight", in_flight },
                                      { "healthy_posts_per_s_with_hung", Median(with) },
                                      { "healthy_posts_per_s_alone", Median(without) }, { "ratio", r },
                                      { "target_ratio", 0.95 }, { "met", r >= 0.95 } })
                       .dump()
                       .c_str());
    return 0;
}

} // namespace vxbench
