#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cctype>
#include <fstream>
#include <utility>
#include <vector>

#include <curl/curl.h>

#include "config/config_loader.h"
#include "config/log_text.h"
#include "vxconfig.h"
#include "vxexception.h"
#include "vxutils.h"

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

// The keys the loader reads itself, beside those of the channel record. A new
// top-level setting is one row here.
const htsConfigKey loader_keys[] = {
    { "channels", htsKeyScope::TopLevel, "object", {} },
    { "delivery", htsKeyScope::TopLevel, "string", {} },
    { "enable", htsKeyScope::Channel, "boolean", {} },
    { "metrics_file", htsKeyScope::TopLevel, "string", {} },
    { "metrics_interval_ms", htsKeyScope::TopLevel, "integer", {} },
};

// The file's "metrics_file" and "metrics_interval_ms". The file's folder is
// checked here, so a typo fails the load rather than the first write.
void ReadMetrics(const std::string &tag, const nlohmann::json &root, htsExpansionVariables &vars,
    htsConfiguration &config)
{
    if (!root.is_object()) return;
    auto file = root.find("metrics_file");
    if (file != root.end()) {
        if (!file->is_string())
            throw vxException("%s: invalid value for %s: %s", tag.c_str(), "metrics_file", file->dump().c_str());
        vx_expand_variables(file->get<std::string>(), config.metrics_file, vars);
        if (!config.metrics_file.empty()) {
            const size_t slash = config.metrics_file.rfind('/');
            const std::string folder = slash == std::string::npos ? "."
                : slash == 0                                       ? "/"
                                                                   : config.metrics_file.substr(0, slash);
            if (access(folder.c_str(), W_OK | X_OK) != 0) {
                char buffer[256];
                throw vxException("%s: cannot write metrics_file: %s", tag.c_str(),
                    strerror_r(errno, buffer, sizeof(buffer)));
            }
        }
    }
    auto interval = root.find("metrics_interval_ms");
    if (interval != root.end()) {
        // A tenth of a second at least: the file is meant for a collector
        // that reads it every few seconds, not for a busy loop.
        if (!interval->is_number_unsigned() || interval->get<uint64_t>() < 100 ||
            interval->get<uint64_t>() > 86400000)
            throw vxException("%s: invalid value for %s: %s", tag.c_str(), "metrics_interval_ms",
                interval->dump().c_str());
        config.metrics_interval_ms = interval->get<uint64_t>();
    }
}

// A name from the file as a warning quotes it: in double quotes, escaped as
// JSON escapes it, so that it cannot break the line, and cut short when long.
std::string Quoted(const std::string &text)
{
    constexpr size_t longest = 64;
    const std::string shown = text.size() > longest ? text.substr(0, longest) + "..." : text;
    return nlohmann::json(shown).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Lower(std::string text)
{
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Edits (insert, delete, replace, swap of neighbours) from one text to the
// other, ignoring case; three rows of the table are all it needs.
size_t EditDistance(const std::string &a_text, const std::string &b_text)
{
    const std::string a = Lower(a_text), b = Lower(b_text);
    std::vector<size_t> before(b.size() + 1), previous(b.size() + 1), row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++) previous[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            row[j] = std::min({ previous[j] + 1, row[j - 1] + 1, previous[j - 1] + cost });
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                row[j] = std::min(row[j], before[j - 2] + 1);
        }
        before.swap(previous);
        previous.swap(row);
    }
    return previous[b.size()];
}

// Collects the warnings of one load.
class Warnings
{
public:
    explicit Warnings(std::vector<std::string> &out) : out(out)
    {
        for (const htsConfigKey &key : htsConfigurationKeys()) {
            if (static_cast<uint8_t>(key.scope) & static_cast<uint8_t>(htsKeyScope::TopLevel))
                top_level.push_back(key.name);
            if (static_cast<uint8_t>(key.scope) & static_cast<uint8_t>(htsKeyScope::Channel))
                channel.push_back(key.name);
        }
    }

    // Unknown keys and values passed over for their type, at the top level
    // (`where` empty) or in the channel `where`.
    void Keys(const nlohmann::json &j, const std::string &where)
    {
        if (!j.is_object()) return;
        const std::vector<std::string> &known = where.empty() ? top_level : channel;
        for (const auto &[key, value] : j.items()) {
            if (std::find(known.begin(), known.end(), key) != known.end()) continue;
            std::string text = "unknown key " + Quoted(key);
            if (const std::string *near = Nearest(key, known)) text += "; did you mean " + Quoted(*near) + "?";
            Add(where, text);
        }
        for (const std::string &skipped : htsSkippedValues(j))
            Add(where, skipped + "; the value is ignored");
    }

    // "enable" that is no boolean leaves the channel enabled.
    void Enable(const nlohmann::json &value, const std::string &where)
    {
        if (value.is_object() && value.contains("enable") && !value["enable"].is_boolean())
            Add(where, "\"enable\" is not true or false; the channel is enabled");
    }

    // What the channel's record does that an operator may not have meant.
    void Record(const htsChannelConfig &r, const std::string &where)
    {
        if (!r.tls_verify) Add(where, "tls_verify is false: the collector's certificate and host name are not checked");
        if (Lower(r.url).rfind("http://", 0) == 0) {
            for (const auto &[name, value] : r.headers)
                if (Lower(name) == "authorization")
                    Add(where, "the Authorization header is sent in clear text over http://");
            if (!r.bearer_token_file.empty())
                Add(where, "the bearer token is sent in clear text over http://");
        }
        if (r.http_version == htsHttpVersion::Http2PriorKnowledge && !htsCurlReusesPriorKnowledge())
            Add(where, std::string("http_version 2-prior-knowledge: libcurl ") + curl_version_info(CURLVERSION_NOW)->version +
                    " cannot post twice on such a connection, so every post opens its own");
        if (r.timeout_connect == 0) Add(where, "timeout_connect is 0: no time limit to connect");
        if (r.timeout_transfer == 0) Add(where, "timeout_transfer is 0: no time limit for a post");
    }

private:
    // A file of many mistakes yields this many lines and a count of the rest.
    static constexpr size_t most = 100;

    void Add(const std::string &where, const std::string &text)
    {
        if (out.size() < most)
            out.push_back((where.empty() ? "top level" : "channel " + Quoted(where)) + ": " + text);
        else if (out.size() == most)
            out.push_back("and more warnings, not listed");
    }

    // The known key nearest to `key`, when it is near enough to be a typo.
    static const std::string *Nearest(const std::string &key, const std::vector<std::string> &known)
    {
        const std::string *best = nullptr;
        size_t best_distance = 0;
        const size_t allowed = std::clamp<size_t>(key.size() / 4, 1, 3);
        for (const std::string &name : known) {
            // Lengths further apart than the edits allowed cannot be near.
            if (std::max(key.size(), name.size()) - std::min(key.size(), name.size()) > allowed) continue;
            const size_t d = EditDistance(key, name);
            if (best == nullptr || d < best_distance) {
                best = &name;
                best_distance = d;
            }
        }
        return (best != nullptr && best_distance <= allowed) ? best : nullptr;
    }

    std::vector<std::string> &out;
    std::vector<std::string> top_level;
    std::vector<std::string> channel;
};

// Signing and a bearer token are two ways of saying who sends: only one
// can fill the Authorization header, and signing without a key would send
// requests every collector refuses.
void CheckAuthentication(const std::string &tag, const std::string &name, const htsChannelConfig &r)
{
    const std::string channel = htsEscapeControl(name);
    if (!r.aws_sigv4.empty()) {
        // libcurl's provider text: up to four fields of letters, digits and
        // "-_." joined by ":".
        const bool plain = r.aws_sigv4.find_first_not_of(
                               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.:") ==
            std::string::npos;
        if (!plain || std::count(r.aws_sigv4.begin(), r.aws_sigv4.end(), ':') > 3 || r.aws_sigv4.front() == ':')
            throw vxException("%s: invalid value for %s: %s", tag.c_str(), "aws_sigv4",
                nlohmann::json(r.aws_sigv4).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        if (r.aws_access_key_id.empty() || r.aws_secret_access_key.empty())
            throw vxException("%s: %s: aws_sigv4 needs aws_access_key_id and aws_secret_access_key", tag.c_str(),
                channel.c_str());
        if (!r.bearer_token_file.empty())
            throw vxException("%s: %s: aws_sigv4 and bearer_token_file cannot both be set", tag.c_str(),
                channel.c_str());
    }
}

// The key table bounds "compression_level" for every encoding at once; the
// channel's own encoding, which may come from another level of the file,
// bounds it further. "none" takes any level, so that a channel can turn
// compression off without dropping an inherited level.
void CheckCompressionLevel(const std::string &tag, const std::string &name, const htsChannelConfig &r)
{
    if (r.compression == htsCompression::None || r.compression_level == 0) return;
    const htsCompressionLevels levels = htsLevelsOf(r.compression);
    if (r.compression_level >= levels.lowest && r.compression_level <= levels.highest) return;
    throw vxException("%s: %s: invalid value for compression_level: %u (%s takes %u to %u)", tag.c_str(),
        htsEscapeControl(name).c_str(), r.compression_level,
        r.compression == htsCompression::Gzip ? "gzip" : "zstd", levels.lowest, levels.highest);
}

// The defaults and every enabled channel of a parsed file.
htsConfiguration ReadRecords(const std::string &tag, const nlohmann::json &root,
    htsExpansionVariables &vars)
{
    htsConfiguration config;
    config.delivery = ReadDeliveryMode(tag, root);
    ReadMetrics(tag, root, vars, config);
    Warnings warnings(config.warnings);
    config.defaults.Load(vars, "defaults", root);
    warnings.Keys(root, "");

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
            CheckAuthentication(tag, name, r);
            CheckCompressionLevel(tag, name, r);
            if (!r.bearer_token_file.empty()) r.bearer_token = htsBearerToken::Open(tag, name, r.bearer_token_file);
            warnings.Enable(value, name);
            warnings.Keys(value, name);
            warnings.Record(r, name);

            config.channels.emplace(name, std::move(r));
        }
    }

    // Each post in flight holds a socket; past the process's limit posts
    // fail to connect and the spool cannot open its files either.
    if (config.delivery == htsDeliveryMode::parallel) {
        uint64_t sockets = 0;
        for (const auto &[name, r] : config.channels) sockets += r.max_in_flight;
        rlimit limit{};
        // Room for the agent's own descriptors beside the posts.
        constexpr uint64_t reserve = 64;
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            sockets + reserve > limit.rlim_cur)
            config.warnings.push_back("top level: the channels' max_in_flight add up to " + std::to_string(sockets) +
                " connections, too many for the process's limit of " + std::to_string(limit.rlim_cur) +
                " open files (ulimit -n) beside the agent's own");
    }

    // Retries, the spool, the adaptive limit, fallback URLs and connection
    // rotation live in the parallel engine; serial delivery would ignore
    // them, which must not pass for their being in force.
    if (config.delivery != htsDeliveryMode::parallel) {
        auto refuse = [&](const htsChannelConfig &r) {
            const char *key = (r.retries > 0)     ? "retries"
                : !r.spool_dir.empty()             ? "spool_dir"
                : r.max_in_flight_auto             ? "max_in_flight"
                : r.max_in_flight_limit != htsDefaultInFlightCeiling ? "max_in_flight_limit"
                : !r.fallback_urls.empty()         ? "fallback_urls"
                : r.connection_max_age_ms > 0      ? "connection_max_age_ms"
                : r.connection_max_requests > 0    ? "connection_max_requests"
                                                   : nullptr;
            if (key != nullptr)
                throw vxException("%s: %s needs \"delivery\": \"parallel\"", tag.c_str(), key);
        };
        refuse(config.defaults);
        for (const auto &[name, r] : config.channels) refuse(r);
    }
    return config;
}

} // namespace

std::vector<htsConfigKey> htsConfigurationKeys()
{
    std::vector<htsConfigKey> keys = htsChannelKeys();
    keys.insert(keys.end(), std::begin(loader_keys), std::end(loader_keys));
    return keys;
}

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
