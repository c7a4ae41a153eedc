#ifndef HTS_CONFIG_LOADER_H
#define HTS_CONFIG_LOADER_H

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

#include "config/channel_config.h"

// Variable text (such as "${uuid_site}") to its value.
using htsExpansionVariables = std::map<std::string, std::string>;

// How the worker delivers, chosen by the file's top-level "delivery" key:
// one post at a time in queue and channel order ("serial"), or each channel
// on its own with several posts in flight ("parallel").
enum class htsDeliveryMode {
    serial,
    parallel,
};

// What one configuration file puts in force: the values of its top level and
// one record per enabled channel.
struct htsConfiguration {
    htsChannelConfig defaults;
    std::map<std::string, htsChannelConfig> channels;
    htsDeliveryMode delivery = htsDeliveryMode::serial;
    // Where the instance writes its figures for a metrics collector (empty:
    // nowhere), and how often.
    std::string metrics_file;
    uint64_t metrics_interval_ms = 15000;
    // What in the file is likely a mistake although it loads: unknown keys,
    // values skipped for their type, checks switched off, credentials in
    // clear text, time limits of 0. Neither logged nor refused; shown by the
    // status. The top level first, then each enabled channel in name order.
    std::vector<std::string> warnings;
};

// Every key the loader reads: the channel record's and its own ("channels",
// "enable").
std::vector<htsConfigKey> htsConfigurationKeys();

// The agent's variables, then each stored identifier under its variable name
// unless the agent defines that name itself. Throws vxException when the
// agent has published no global configuration.
htsExpansionVariables htsMakeExpansionVariables();

// Reads the file at `path` (JSON, comments allowed) into a configuration.
// Every failure throws, with `tag` at the start of the loader's own texts;
// nothing outside the returned value is touched.
htsConfiguration htsReadConfiguration(const std::string &tag, const std::string &path,
    htsExpansionVariables &vars);

// The same from a stream already open; `path` only names it in messages.
htsConfiguration htsReadConfiguration(const std::string &tag, const std::string &path,
    std::istream &in, htsExpansionVariables &vars);

#endif
