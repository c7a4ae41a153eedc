#include <algorithm>
#include <utility>

#include "config/config_loader.h"
#include "plugin/hts_plugin.h"
#include "vxlog.h"

namespace {

// Releases the thread object's lock on every path out of the swap.
class ThreadLock
{
public:
    explicit ThreadLock(vxThread &thread) : thread(thread) { thread.Lock(); }
    ~ThreadLock() { thread.Unlock(); }
    ThreadLock(const ThreadLock &) = delete;
    ThreadLock &operator=(const ThreadLock &) = delete;

private:
    vxThread &thread;
};

} // namespace

void htsPlugin::LoadConfig()
{
    vx_dprintf("%s: Loading configuration: %s\n", tag.c_str(), conf_filename.c_str());

    htsExpansionVariables vars = htsMakeExpansionVariables();
    htsConfiguration loaded = htsReadConfiguration(tag, conf_filename, vars);
    const bool retries = std::any_of(loaded.channels.begin(), loaded.channels.end(),
        [](const auto &channel) { return channel.second.retries > 0 || !channel.second.spool_dir.empty(); });
    htsStatusBoard::Pending status = status_board.Prepare(loaded.channels, loaded.warnings,
        loaded.delivery == htsDeliveryMode::parallel ? "parallel" : "serial", retries);

    {
        // Only exchanges under the lock: nothing here can throw, so a load
        // either puts the whole new configuration in force or none of it.
        ThreadLock guard(*this);
        std::swap(defaults, loaded.defaults);
        channels.swap(loaded.channels);
        std::swap(delivery, loaded.delivery);
        loads++;
    }
    status_board.Commit(std::move(status));
    metrics.Configure(loaded.metrics_file, loaded.metrics_interval_ms);
    // `loaded` now holds the previous records; they and their header lists
    // are freed here, outside the lock.
}
