#include "vxutils.h"

#define VX_AGENT_VERSION "2.5.0"

void vx_expand_variables(const std::string &in, std::string &out,
    std::map<std::string, std::string> &vars)
{
    std::string result;
    result.reserve(in.size());

    size_t pos = 0;
    while (pos < in.size()) {
        const std::pair<const std::string, std::string> *match = nullptr;
        for (const auto &var : vars) {
            const std::string &key = var.first;
            if (key.empty() || key[0] != in[pos]) continue;
            if (match != nullptr && key.size() <= match->first.size()) continue;
            if (in.compare(pos, key.size(), key) == 0) match = &var;
        }
        if (match != nullptr) {
            result.append(match->second);
            pos += match->first.size();
        }
        else
            result.push_back(in[pos++]);
    }

    out = std::move(result);
}

std::string vx_get_version_and_features(bool features)
{
    std::string text("vornixd/" VX_AGENT_VERSION);
    if (features) text.append(" (sinks: http; formats: json, msgpack; gzip)");
    return text;
}
