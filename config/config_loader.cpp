#include <fstream>
#include <utility>
#include <vector>

#include "config/config_loader.h"
#include "vxconfig.h"
#include "vxexception.h"

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

// The file's "delivery" value; anything but the two names fails the load, so
// a typo never leaves an operator with a mode they did not ask for.
htsDeliveryMode ReadDeliveryMode(const std::string &tag, const nlohmann::json &root)
{
    if (!root.is_object()) return htsDeliveryMode::serial;
    auto it = root.find("delivery");
    if (it == root.end()) return htsDeliveryMode::serial;
    if (it->is_string()) {
        const std::string &mode = it->get_ref<const std::string &>();
        if (mode == "serial") return htsDeliveryMode::serial;
        if (mode == "parallel") return htsDeliveryMode::parallel;
    }
    throw vxException("%s: invalid value for %s: %s", tag.c_str(), "delivery", it->dump().c_str());
}

// The defaults and every enabled channel of a parsed file.
htsConfiguration ReadRecords(const std::string &tag, const nlohmann::json &root,
    htsExpansionVariables &vars)
{
    htsConfiguration config;
    config.delivery = ReadDeliveryMode(tag, root);
    config.defaults.Load(vars, "defaults", root);

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
            r.InheritFrom(config.defaults);
            r.Load(vars, name, value);
            if (r.url.empty())
                throw vxException("%s: required parameter missing: %s", tag.c_str(), "url");

            config.channels.emplace(name, std::move(r));
        }
    }

    // Retries and the spool live in the parallel engine; serial delivery
    // would ignore them, which must not pass for their being in force.
    if (config.delivery != htsDeliveryMode::parallel) {
        auto refuse = [&](const htsChannelConfig &r) {
            const char *key = (r.retries > 0) ? "retries" : !r.spool_dir.empty() ? "spool_dir" : nullptr;
            if (key != nullptr)
                throw vxException("%s: %s needs \"delivery\": \"parallel\"", tag.c_str(), key);
        };
        refuse(config.defaults);
        for (const auto &[name, r] : config.channels) refuse(r);
    }
    return config;
}

} // namespace

htsExpansionVariables htsMakeExpansionVariables()
{
    htsExpansionVariables vars = vxGlobalConfig::GetInstance().conf_vars;
    for (const auto &[id, variable] : uuid_variables()) {
        std::string uuid;
        vxGlobalConfig::GetInstance().LoadUUID(id, uuid);
        // Identifiers are kept in files that may end in a line break; in a
        // header value that break would refuse every load that uses it.
        while (!uuid.empty() && (uuid.back() == '\n' || uuid.back() == '\r')) uuid.pop_back();
        // An agent variable of the same name wins over the stored identifier.
        vars.emplace(variable, std::move(uuid));
    }
    return vars;
}

htsConfiguration htsReadConfiguration(const std::string &tag, const std::string &path,
    htsExpansionVariables &vars)
{
    std::ifstream ifs(path);
    if (!ifs.is_open())
        throw vxException("%s: error opening configuration: %s", tag.c_str(), path.c_str());
    return htsReadConfiguration(tag, path, ifs, vars);
}

htsConfiguration htsReadConfiguration(const std::string &tag, const std::string &path,
    std::istream &in, htsExpansionVariables &vars)
{
    nlohmann::json root;
    try {
        root = nlohmann::json::parse(in, nullptr, true, true);
    }
    catch (const nlohmann::json::exception &e) {
        throw vxException("%s: error loading configuration: %s: JSON exception: %s",
            tag.c_str(), path.c_str(), e.what());
    }
    catch (const std::exception &e) {
        throw vxException("%s: error loading configuration: %s: %s", tag.c_str(),
            path.c_str(), e.what());
    }

    try {
        return ReadRecords(tag, root, vars);
    }
    catch (const htsKeyError &e) {
        throw vxException("%s: %s", tag.c_str(), e.what());
    }
}
