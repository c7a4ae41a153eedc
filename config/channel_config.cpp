#include <cstdint>
#include <variant>

#include "config/channel_config.h"
#include "config/log_text.h"
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

// The values a number key takes when a value outside them (or of another
// type) must fail the load rather than be skipped.
struct StrictRange {
    uint64_t minimum;
    uint64_t maximum;
};

const StrictRange in_flight_range{ 1, htsMaxInFlightLimit };
const StrictRange any_unsigned{ 0, UINT64_MAX };

// One configuration key of a record. Rows are read in table order, which is
// also the order in which a bad value is reported.
struct ChannelKey {
    const char *name;
    // Also read at the top level as the default that every channel takes.
    bool inherited;
    std::variant<uint32_t htsChannelConfig::*, uint64_t htsChannelConfig::*,
        bool htsChannelConfig::*, std::string htsChannelConfig::*,
        std::map<std::string, std::string> htsChannelConfig::*>
        member;
    // Null: a value of another type is skipped without a word.
    const StrictRange *strict = nullptr;
};

const ChannelKey channel_keys[] = {
    { "timeout_connect", true, &htsChannelConfig::timeout_connect },
    { "timeout_transfer", true, &htsChannelConfig::timeout_transfer },
    { "tls_verify", true, &htsChannelConfig::tls_verify },
    { "tls_version1", true, &htsChannelConfig::tls_version1 },
    { "url", false, &htsChannelConfig::url },
    { "headers", false, &htsChannelConfig::headers },
    { "max_in_flight", true, &htsChannelConfig::max_in_flight, &in_flight_range },
    { "max_backlog_bytes", true, &htsChannelConfig::max_backlog_bytes, &any_unsigned },
};

// The number a strict key takes, or htsInvalidValue.
uint64_t StrictNumber(const ChannelKey &key, const nlohmann::json &value)
{
    if (!value.is_number_unsigned()) throw htsInvalidValue(key.name, value.dump());
    const uint64_t number = value.get<uint64_t>();
    if (number < key.strict->minimum || number > key.strict->maximum)
        throw htsInvalidValue(key.name, value.dump());
    return number;
}

template <typename... F>
struct Overload : F... {
    using F::operator()...;
};
template <typename... F>
Overload(F...) -> Overload<F...>;

// Adds each of the object's headers, expanded, that the record does not hold
// yet. The conversion throws the library's type error for a value that is
// not a string, before any header is taken.
void LoadHeaders(std::map<std::string, std::string> &headers,
    std::map<std::string, std::string> &vars, const std::string &name, const nlohmann::json &value)
{
    auto entries = value.get<std::map<std::string, std::string>>();
    for (const auto &[header, text] : entries) {
        std::string expanded;
        vx_expand_variables(text, expanded, vars);
        if (expanded.empty()) expanded.push_back('-');
        if (BreaksHeaderLine(header)) {
            throw vxException("%s: invalid header name: %s", htsEscapeControl(name).c_str(),
                htsEscapeControl(header).c_str());
        }
        if (BreaksHeaderLine(expanded)) {
            throw vxException("%s: invalid header value: %s", htsEscapeControl(name).c_str(),
                htsEscapeControl(header).c_str());
        }
        headers.emplace(header, std::move(expanded));
    }
}

} // namespace

htsInvalidValue::htsInvalidValue(const std::string &key, const std::string &value)
    : vxException("invalid value for %s: %s", key.c_str(), value.c_str()), key(key), value(value)
{ }

htsChannelConfig::~htsChannelConfig() = default;

void htsChannelConfig::Load(std::map<std::string, std::string> &vars,
    const std::string &name, const nlohmann::json &j)
{
    channel = name;

    for (const ChannelKey &key : channel_keys) {
        const nlohmann::json *value = Find(j, key.name);
        if (value == nullptr) continue;
        std::visit(Overload{
                       [&](uint32_t htsChannelConfig::*m) {
                           if (key.strict != nullptr)
                               this->*m = static_cast<uint32_t>(StrictNumber(key, *value));
                           // Only a non-negative integer literal counts; a
                           // wider one keeps its low 32 bits.
                           else if (value->is_number_unsigned())
                               this->*m = static_cast<uint32_t>(value->get<uint64_t>());
                       },
                       [&](uint64_t htsChannelConfig::*m) {
                           if (key.strict != nullptr)
                               this->*m = StrictNumber(key, *value);
                           else if (value->is_number_unsigned())
                               this->*m = value->get<uint64_t>();
                       },
                       [&](bool htsChannelConfig::*m) {
                           if (value->is_boolean()) this->*m = value->get<bool>();
                       },
                       [&](std::string htsChannelConfig::*m) {
                           if (value->is_string())
                               vx_expand_variables(value->get_ref<const std::string &>(), this->*m, vars);
                       },
                       [&](std::map<std::string, std::string> htsChannelConfig::*m) {
                           if (value->is_object()) LoadHeaders(this->*m, vars, name, *value);
                       },
                   },
            key.member);
    }
}

void htsChannelConfig::InheritFrom(const htsChannelConfig &defaults)
{
    for (const ChannelKey &key : channel_keys) {
        if (!key.inherited) continue;
        std::visit([&](auto m) { this->*m = defaults.*m; }, key.member);
    }
}

nlohmann::json htsChannelConfig::Describe() const
{
    nlohmann::json j = nlohmann::json::object();
    j["channel"] = channel;
    for (const ChannelKey &key : channel_keys)
        std::visit([&](auto m) { j[key.name] = this->*m; }, key.member);
    return j;
}
