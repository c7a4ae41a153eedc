#ifndef HTS_PLUGIN_STATUS_H
#define HTS_PLUGIN_STATUS_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/channel_config.h"
#include "delivery/channel_stats.h"

// What an instance shows of itself to the agent's threads: its configuration
// loads, the configuration in force and each channel's figures.
//
// The worker records posts into the channels' own figures (htsChannelStats),
// which no reader ever blocks. The lock here guards only what changes with a
// load; the worker takes it once per load, never around a post.
class htsStatusBoard
{
public:
    // The worker's side.

    // The figures a post to `channel` records into; null for a channel that
    // is not in force (a record made by hand). Only for the thread that
    // loads.
    htsChannelStats *Stats(const std::string &channel) const;
    // The same, shared with an engine that may still record into them after
    // a load dropped the channel.
    std::shared_ptr<htsChannelStats> SharedStats(const std::string &channel) const;

    // What a load puts in force, made before the swap so that nothing can
    // fail after it: the load either shows in the status or throws.
    struct Pending;
    // For `channels` about to be put in force. Channels that stay keep their
    // figures; new ones start from zero and removed ones are dropped.
    // `delivery` names the engine ("serial" or "parallel"); with "parallel"
    // each channel also shows its backlog, posts in flight and drops, and
    // with `retries` its retried and given-up payloads.
    Pending Prepare(const std::map<std::string, htsChannelConfig> &channels,
        const std::vector<std::string> &warnings, const std::string &delivery, bool retries = false) const;
    // Once they are in force. Allocates nothing and never throws.
    void Commit(Pending &&pending) noexcept;
    // A load failed with `text`; the configuration in force stays.
    void LoadFailed(const std::string &text) noexcept;

    // Any thread's side.

    // Fills `status` with everything below the identity of the plug-in,
    // which the caller adds.
    void Fill(nlohmann::json &status, const std::string &conf_filename) const;

private:
    struct Channel {
        // A copy of the record in force, never changed: readers describe it.
        // Destroying it allocates nothing, which a JSON value would.
        htsChannelConfig record;
        std::shared_ptr<const htsChannelStats> stats;
    };
    // The configuration in force, replaced whole by each load and never
    // changed, so that a reader copies one pointer under the lock.
    struct InForce {
        int64_t loaded_ns = 0;
        std::string delivery = "serial";
        htsFigureSet figures;
        std::vector<std::string> warnings;
        std::vector<Channel> channels;
    };

    using StatsMap = std::map<std::string, std::shared_ptr<htsChannelStats>>;

public:
    struct Pending {
        std::shared_ptr<InForce> view;
        StatsMap stats;
    };

private:
    StatsMap worker_stats;

    mutable std::mutex lock;
    uint64_t loads = 0;
    uint64_t failed_loads = 0;
    std::string last_failure;
    int64_t last_failure_ns = 0;
    std::shared_ptr<const InForce> in_force = std::make_shared<InForce>();
};

// Prints a status made by GetStatus as a short table, one vx_printf call so
// its lines stay together in the log, each starting with `tag`. Copes with a
// status of any shape: what is missing is left out.
void htsPrintStatus(const std::string &tag, const nlohmann::json &status);

#endif
