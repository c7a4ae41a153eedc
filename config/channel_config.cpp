#include "config/channel_config.h"
#include "vxexception.h"
#include "vxutils.h"

namespace {

const nlohmann::json *Find(const nlohmann::json &j, const char *key)
{
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    return (it == j.end()) ? nullptr : &(*it);
}

// A CR or LF would end the header line early and let the rest of the text
// be read as further header lines of every request on the channel.
bool BreaksHeaderLine(const std::string &text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}

} // namespace

htsChannelConfig::htsChannelConfig(const htsChannelConfig &other)
{
    CopySettings(other);
}

htsChannelConfig &htsChannelConfig::operator=(const htsChannelConfig &other)
{
    if (this != &other) {
        CopySettings(other);
        header_list.reset();
        header_list_gz.reset();
    }
    return *this;
}

htsChannelConfig::~htsChannelConfig() = default;

void htsChannelConfig::CopySettings(const htsChannelConfig &other)
{
    channel = other.channel;
    url = other.url;
    timeout_connect = other.timeout_connect;
    timeout_transfer = other.timeout_transfer;
    tls_verify = other.tls_verify;
    tls_version1 = other.tls_version1;
    headers = other.headers;
}

void htsChannelConfig::Load(std::map<std::string, std::string> &vars,
    const std::string &name, const nlohmann::json &j)
{
    channel = name;

    const nlohmann::json *value;
    if ((value = Find(j, "timeout_connect")) && value->is_number_unsigned())
        timeout_connect = static_cast<uint32_t>(value->get<uint64_t>());
    if ((value = Find(j, "timeout_transfer")) && value->is_number_unsigned())
        timeout_transfer = static_cast<uint32_t>(value->get<uint64_t>());
    if ((value = Find(j, "tls_verify")) && value->is_boolean())
        tls_verify = value->get<bool>();
    if ((value = Find(j, "tls_version1")) && value->is_boolean())
        tls_version1 = value->get<bool>();
    if ((value = Find(j, "url")) && value->is_string())
        vx_expand_variables(value->get_ref<const std::string &>(), url, vars);

    if ((value = Find(j, "headers")) && value->is_object()) {
        // The conversion throws the library's type error for a value that is
        // not a string, before any header is taken.
        auto entries = value->get<std::map<std::string, std::string>>();
        for (const auto &[header, text] : entries) {
            std::string expanded;
            vx_expand_variables(text, expanded, vars);
            if (expanded.empty()) expanded.push_back('-');
            if (BreaksHeaderLine(header))
                throw vxException("%s: invalid header name: %s", name.c_str(), header.c_str());
            if (BreaksHeaderLine(expanded))
                throw vxException("%s: invalid header value: %s", name.c_str(), header.c_str());
            headers.emplace(header, std::move(expanded));
        }
    }
}
