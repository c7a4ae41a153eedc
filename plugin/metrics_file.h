#ifndef HTS_METRICS_FILE_H
#define HTS_METRICS_FILE_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

// Writes an instance's figures to a file in the Prometheus text format every
// interval, for a collector that reads a folder of such files. The file is
// replaced whole (written under a hidden name beside it, then renamed), so a
// reader never sees half of it.
//
// The writing happens on a thread of its own: a slow disk never holds up
// the posts, and the figures are read the way the agent reads the status,
// without stopping the worker.
class htsMetricsFile
{
public:
    // `status` gives the figures as GetStatus does; it is called from the
    // writer's thread.
    htsMetricsFile(const std::string &tag, std::function<nlohmann::json()> status);
    // Ends the thread without a last write: Finish() is the orderly way out.
    ~htsMetricsFile();

    htsMetricsFile(const htsMetricsFile &) = delete;
    htsMetricsFile &operator=(const htsMetricsFile &) = delete;

    // Where and how often to write, from each load; an empty path stops
    // writing (the last file stays as it is). Writes at once when the path
    // changed.
    void Configure(const std::string &path, uint64_t interval_ms);

    // Writes the figures one last time, so the file shows how the instance
    // ended, and ends the thread.
    void Finish();

private:
    void Run();
    // One write of the file; logs the start and the end of an episode of
    // failures once each.
    void WriteOnce(const std::string &path);

    const std::string tag;
    const std::function<nlohmann::json()> status;

    std::mutex lock;
    std::condition_variable cond;
    std::string path;
    uint64_t interval_ms = 15000;
    bool changed = false;
    bool ending = false;
    std::thread writer;
    // Only the writer thread touches it.
    bool failing = false;
};

#endif
