#include <algorithm>
#include <set>
#include <utility>

#include "config/config_loader.h"
#include "delivery/spool_file.h"
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
    // A spool folder is made now, so that one that cannot be shows before
    // the first outage rather than at it.
    std::set<std::string> folders;
    for (const auto &[name, record] : loaded.channels) {
        if (record.spool_dir.empty() || !folders.insert(record.spool_dir).second) continue;
        std::string error;
        if (!htsMakeSpoolFolder(record.spool_dir, error))
            loaded.warnings.push_back("channel " + nlohmann::json(name).dump(-1, ' ', false,
                nlohmann::json::error_handler_t::replace) + ": " + error +
                "; what the channel cannot deliver is lost");
    }
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
