#include <fstream>
#include <utility>
#include <vector>

#include "plugin/hts_plugin.h"
#include "vxconfig.h"
#include "vxexception.h"
#include "vxlog.h"

namespace {

using UUIDVariables = std::vector<std::pair<vxUUID, std::string>>;

const UUIDVariables &uuid_variables()
{
    static const UUIDVariables table = {
        { UUID_AGENT, "${uuid_agent}" },
        { UUID_SITE, "${uuid_site}" },
        { UUID_SERIAL, "${uuid_serial}" },
    };
    return table;
}

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

    std::map<std::string, std::string> vars = vxGlobalConfig::GetInstance().conf_vars;
    for (const auto &[id, variable] : uuid_variables()) {
        std::string uuid;
        vxGlobalConfig::GetInstance().LoadUUID(id, uuid);
        // An agent variable of the same name wins over the stored identifier.
        vars.emplace(variable, uuid);
    }

    std::ifstream ifs(conf_filename);
    if (!ifs.is_open()) {
        throw vxException("%s: error opening configuration: %s", tag.c_str(),
            conf_filename.c_str());
    }

    nlohmann::json root;
    try {
        root = nlohmann::json::parse(ifs, nullptr, true, true);
    }
    catch (const nlohmann::json::exception &e) {
        throw vxException("%s: error loading configuration: %s: JSON exception: %s",
            tag.c_str(), conf_filename.c_str(), e.what());
    }
    catch (const std::exception &e) {
        throw vxException("%s: error loading configuration: %s: %s", tag.c_str(),
            conf_filename.c_str(), e.what());
    }

    htsChannelConfig d;
    d.Load(vars, "defaults", root);

    std::map<std::string, htsChannelConfig> m;
    if (root.is_object() && root.contains("channels")) {
        const nlohmann::json &jchannels = root["channels"];
        // Converting a value that is not an object raises the library's own
        // type error, which is the text an operator sees for it.
        if (!jchannels.is_object())
            (void)jchannels.get<std::map<std::string, nlohmann::json>>();

        // Objects iterate in ascending key order.
        for (const auto &[name, value] : jchannels.items()) {
            if (value.is_object()) {
                auto enable = value.find("enable");
                if (enable != value.end() && enable->is_boolean() && !enable->get<bool>())
                    continue;
            }

            htsChannelConfig r;
            r.timeout_connect = d.timeout_connect;
            r.timeout_transfer = d.timeout_transfer;
            r.tls_verify = d.tls_verify;
            r.tls_version1 = d.tls_version1;

            r.Load(vars, name, value);
            if (r.url.empty())
                throw vxException("%s: required parameter missing: %s", tag.c_str(), "url");

            m.emplace(name, std::move(r));
        }
    }

    {
        ThreadLock guard(*this);
        defaults.channel = d.channel;
        defaults.url = d.url;
        defaults.timeout_connect = d.timeout_connect;
        defaults.timeout_transfer = d.timeout_transfer;
        defaults.tls_verify = d.tls_verify;
        defaults.tls_version1 = d.tls_version1;
        defaults.headers = d.headers;
        channels.swap(m);
    }
    // `m` now holds the previous records; they and their header lists are
    // freed here, outside the lock.
}
