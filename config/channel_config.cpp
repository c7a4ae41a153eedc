#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <type_traits>
#include <variant>

#include <curl/curl.h>

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

// What a text value must name beyond being a text.
enum class Check : uint8_t {
    None,
    File,       // a file that can be read
    Folder,     // a folder that can be read
    PinnedKey,  // "sha256//" hashes, or else a file that can be read
};

// One text a choice key accepts, and the member value it stands for.
struct Choice {
    const char *text;
    uint8_t value;
};

const Choice tls_min_versions[] = {
    { "1.2", static_cast<uint8_t>(htsTlsMinVersion::Tls1_2) },
    { "1.3", static_cast<uint8_t>(htsTlsMinVersion::Tls1_3) },
};

const Choice http_versions[] = {
    { "1.1", static_cast<uint8_t>(htsHttpVersion::Http1_1) },
    { "2", static_cast<uint8_t>(htsHttpVersion::Http2) },
    { "2-prior-knowledge", static_cast<uint8_t>(htsHttpVersion::Http2PriorKnowledge) },
};

const Choice compressions[] = {
    { "none", static_cast<uint8_t>(htsCompression::None) },
    { "gzip", static_cast<uint8_t>(htsCompression::Gzip) },
    { "zstd", static_cast<uint8_t>(htsCompression::Zstd) },
};

// One configuration key of a record. Rows are read in table order, which is
// also the order in which a bad value is reported.
// The numbers a strict number key takes.
struct Range {
    uint64_t minimum;
    uint64_t maximum;
};

const Range in_flight_range{ 1, htsMaxInFlightLimit };
const Range any_unsigned{ 0, UINT64_MAX };
const Range any_unsigned32{ 0, UINT32_MAX };
// A day: a longer wait is a mistake, and doubling stays far from overflow.
const Range backoff_range{ 1, 86400000 };
// Each encoding narrows this further; the loader checks the pair.
const Range level_range{ 0, htsMaxCompressionLevel };
// Up to a day as well; 0 is no limit.
const Range age_range{ 0, 86400000 };

// The one text a number key may take instead of a number, where it has one.
const Choice auto_choice[] = {
    { "auto", 1 },
};

struct ChannelKey {
    const char *name;
    // Also read at the top level as the default that every channel takes.
    bool inherited;
    std::variant<uint32_t htsChannelConfig::*, uint64_t htsChannelConfig::*, bool htsChannelConfig::*,
        std::string htsChannelConfig::*, std::map<std::string, std::string> htsChannelConfig::*,
        std::optional<std::string> htsChannelConfig::*, htsTlsMinVersion htsChannelConfig::*,
        htsHttpVersion htsChannelConfig::*, htsCompression htsChannelConfig::*,
        std::vector<long> htsChannelConfig::*, std::vector<std::string> htsChannelConfig::*>
        member;
    // The keys of the first release skip a value of another type without a
    // word, as they always have; every later key refuses it like any other
    // bad value, so a mistake never passes for the default.
    bool strict = false;
    Check check = Check::None;
    std::span<const Choice> choices = {};
    // Never printed, not even in a refusal.
    bool secret = false;
    // For a strict number key: the values it takes.
    const Range *range = nullptr;
    // For a number key that also takes "auto" (its `choices`): the member
    // that says which of the two the file gave.
    bool htsChannelConfig::*automatic = nullptr;
};

const ChannelKey channel_keys[] = {
    { .name = "timeout_connect", .inherited = true, .member = &htsChannelConfig::timeout_connect },
    { .name = "timeout_transfer", .inherited = true, .member = &htsChannelConfig::timeout_transfer },
    { .name = "tls_verify", .inherited = true, .member = &htsChannelConfig::tls_verify },
    { .name = "tls_version1", .inherited = true, .member = &htsChannelConfig::tls_version1 },
    { .name = "url", .inherited = false, .member = &htsChannelConfig::url },
    { .name = "headers", .inherited = false, .member = &htsChannelConfig::headers },
    { .name = "tls_ca_file", .inherited = true, .member = &htsChannelConfig::tls_ca_file,
        .strict = true, .check = Check::File },
    { .name = "tls_ca_path", .inherited = true, .member = &htsChannelConfig::tls_ca_path,
        .strict = true, .check = Check::Folder },
    { .name = "tls_client_cert", .inherited = true, .member = &htsChannelConfig::tls_client_cert,
        .strict = true, .check = Check::File },
    { .name = "tls_client_key", .inherited = true, .member = &htsChannelConfig::tls_client_key,
        .strict = true, .check = Check::File },
    { .name = "tls_client_key_password", .inherited = true, .member = &htsChannelConfig::tls_client_key_password,
        .strict = true, .secret = true },
    { .name = "tls_min_version", .inherited = true, .member = &htsChannelConfig::tls_min_version,
        .strict = true, .choices = tls_min_versions },
    { .name = "tls_pinned_public_key", .inherited = true, .member = &htsChannelConfig::tls_pinned_public_key,
        .strict = true, .check = Check::PinnedKey },
    { .name = "proxy", .inherited = true, .member = &htsChannelConfig::proxy, .strict = true },
    { .name = "http_version", .inherited = true, .member = &htsChannelConfig::http_version,
        .strict = true, .choices = http_versions },
    { .name = "success_codes", .inherited = true, .member = &htsChannelConfig::success_codes, .strict = true },
    { .name = "max_in_flight", .inherited = true, .member = &htsChannelConfig::max_in_flight,
        .strict = true, .choices = auto_choice, .range = &in_flight_range,
        .automatic = &htsChannelConfig::max_in_flight_auto },
    { .name = "max_in_flight_limit", .inherited = true, .member = &htsChannelConfig::max_in_flight_limit,
        .strict = true, .range = &in_flight_range },
    { .name = "max_backlog_bytes", .inherited = true, .member = &htsChannelConfig::max_backlog_bytes,
        .strict = true, .range = &any_unsigned },
    { .name = "retries", .inherited = true, .member = &htsChannelConfig::retries,
        .strict = true, .range = &any_unsigned32 },
    { .name = "retry_backoff_ms", .inherited = true, .member = &htsChannelConfig::retry_backoff_ms,
        .strict = true, .range = &backoff_range },
    { .name = "retry_backoff_max_ms", .inherited = true, .member = &htsChannelConfig::retry_backoff_max_ms,
        .strict = true, .range = &backoff_range },
    // Made by the plug-in at load (one that cannot be made is a warning):
    // delivery goes on without it.
    { .name = "spool_dir", .inherited = true, .member = &htsChannelConfig::spool_dir, .strict = true },
    { .name = "spool_max_bytes", .inherited = true, .member = &htsChannelConfig::spool_max_bytes,
        .strict = true, .range = &any_unsigned },
    { .name = "spool_drain", .inherited = true, .member = &htsChannelConfig::spool_drain, .strict = true },
    { .name = "aws_sigv4", .inherited = true, .member = &htsChannelConfig::aws_sigv4, .strict = true },
    { .name = "aws_access_key_id", .inherited = true, .member = &htsChannelConfig::aws_access_key_id,
        .strict = true },
    { .name = "aws_secret_access_key", .inherited = true, .member = &htsChannelConfig::aws_secret_access_key,
        .strict = true, .secret = true },
    { .name = "bearer_token_file", .inherited = true, .member = &htsChannelConfig::bearer_token_file,
        .strict = true, .check = Check::File },
    { .name = "compression", .inherited = true, .member = &htsChannelConfig::compression,
        .strict = true, .choices = compressions },
    { .name = "compression_level", .inherited = true, .member = &htsChannelConfig::compression_level,
        .strict = true, .range = &level_range },
    { .name = "fallback_urls", .inherited = true, .member = &htsChannelConfig::fallback_urls, .strict = true },
    { .name = "connection_max_age_ms", .inherited = true, .member = &htsChannelConfig::connection_max_age_ms,
        .strict = true, .range = &age_range },
    { .name = "connection_max_requests", .inherited = true,
        .member = &htsChannelConfig::connection_max_requests, .strict = true, .range = &any_unsigned32 },
};

[[noreturn]] void ThrowInvalid(const ChannelKey &key, const nlohmann::json &value)
{
    // The value as the file wrote it, escaped by the JSON writer, so it
    // cannot forge a line of its own.
    const std::string text =
        key.secret ? std::string(htsMasked) : value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    throw htsKeyError(key.name, std::string("invalid value for ") + key.name + ": " + text);
}

[[noreturn]] void ThrowUnreadable(const ChannelKey &key, const std::string &channel, int error)
{
    char buffer[256];
    const char *reason = strerror_r(error, buffer, sizeof(buffer));
    throw htsKeyError(key.name,
        htsEscapeControl(channel) + ": cannot read " + key.name + ": " + reason);
}

// Opening is what libcurl will do at the first post; doing it at load turns
// a typo into a refused file instead of a silent change of verification.
// Non-blocking, so a named pipe cannot hold the load.
void CheckReadable(const ChannelKey &key, const std::string &channel, const std::string &path, bool folder)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (folder ? O_DIRECTORY : 0));
    int error = (fd < 0) ? errno : 0;
    if (fd >= 0) {
        struct stat st;
        if (!folder && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) error = EISDIR;
        close(fd);
    }
    if (error != 0) ThrowUnreadable(key, channel, error);
}

bool IsBase64Char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// "sha256//" and the base64 of a 32-byte hash, any number of them joined
// by ";".
bool IsPinnedHashList(std::string_view text)
{
    constexpr std::string_view prefix = "sha256//";
    for (;;) {
        const size_t end = std::min(text.find(';'), text.size());
        std::string_view hash = text.substr(0, end);
        if (hash.substr(0, prefix.size()) != prefix) return false;
        hash.remove_prefix(prefix.size());
        if (hash.size() != 44 || hash[43] != '=' ||
            !std::all_of(hash.begin(), hash.begin() + 43, IsBase64Char))
            return false;
        if (end == text.size()) return true;
        text.remove_prefix(end + 1);
    }
}

// Applies the check of `key` to an expanded text; an empty text means "not
// set" and names nothing.
void CheckText(const ChannelKey &key, const std::string &channel, const std::string &text,
    const nlohmann::json &value)
{
    if (text.empty()) return;
    switch (key.check) {
    case Check::None: break;
    case Check::File: CheckReadable(key, channel, text, false); break;
    case Check::Folder: CheckReadable(key, channel, text, true); break;
    case Check::PinnedKey:
        if (text.rfind("sha256//", 0) == 0) {
            if (!IsPinnedHashList(text)) ThrowInvalid(key, value);
        }
        else
            CheckReadable(key, channel, text, false);
        break;
    }
}

// The number a strict key takes, or the refusal of anything else.
uint64_t StrictNumber(const ChannelKey &key, const nlohmann::json &value)
{
    if (!value.is_number_unsigned()) ThrowInvalid(key, value);
    const uint64_t number = value.get<uint64_t>();
    if (number < key.range->minimum || number > key.range->maximum) ThrowInvalid(key, value);
    return number;
}

// Each URL expanded; a list that is no list, or holds anything but a
// non-empty text, is refused naming that element alone, so that the
// password of another URL is never printed.
std::vector<std::string> UrlList(const ChannelKey &key, const nlohmann::json &value,
    std::map<std::string, std::string> &vars)
{
    if (!value.is_array()) ThrowInvalid(key, value);
    // Bounded so that a status can show each one's state.
    if (value.size() > htsMaxFallbackUrls)
        throw htsKeyError(key.name, std::string("invalid value for ") + key.name + ": more than " +
                std::to_string(htsMaxFallbackUrls) + " URLs");
    std::vector<std::string> urls;
    for (const auto &url : value) {
        if (!url.is_string()) ThrowInvalid(key, url);
        std::string text;
        vx_expand_variables(url.get_ref<const std::string &>(), text, vars);
        if (text.empty()) ThrowInvalid(key, url);
        urls.push_back(std::move(text));
    }
    return urls;
}

std::vector<long> StatusCodes(const ChannelKey &key, const nlohmann::json &value)
{
    // An empty list would make every answer a failure: a mistake, not a wish.
    if (!value.is_array() || value.empty()) ThrowInvalid(key, value);
    std::vector<long> codes;
    for (const auto &code : value) {
        if (!code.is_number_integer()) ThrowInvalid(key, value);
        const auto number = code.get<int64_t>();
        if (number < 100 || number > 599) ThrowInvalid(key, value);
        codes.push_back(static_cast<long>(number));
    }
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    return codes;
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

htsCompressionLevels htsLevelsOf(htsCompression encoding) noexcept
{
    switch (encoding) {
    // zlib's own default; 9 costs several times the CPU for a few percent.
    case htsCompression::Gzip: return { 1, 9, 6 };
    // libzstd's default; past 19 its "ultra" levels want far more memory.
    case htsCompression::Zstd: return { 1, htsMaxCompressionLevel, 3 };
    case htsCompression::None: break;
    }
    return { 0, 0, 0 };
}

uint32_t htsChannelConfig::CompressionLevel() const noexcept
{
    return compression_level != 0 ? compression_level : htsLevelsOf(compression).fallback;
}

bool htsCurlReusesPriorKnowledge() noexcept
{
    static const bool reuses = curl_version_info(CURLVERSION_NOW)->version_num >= 0x080000;
    return reuses;
}

htsChannelConfig::~htsChannelConfig() = default;

void htsChannelConfig::Load(std::map<std::string, std::string> &vars,
    const std::string &name, const nlohmann::json &j)
{
    channel = name;

    for (const ChannelKey &key : channel_keys) {
        const nlohmann::json *value = Find(j, key.name);
        if (value == nullptr) continue;
        // The value of a text key with its variables filled in, or the
        // refusal of a value that is no text.
        auto expanded = [&]() -> std::optional<std::string> {
            if (!value->is_string()) {
                if (key.strict) ThrowInvalid(key, *value);
                return std::nullopt;
            }
            std::string text;
            vx_expand_variables(value->get_ref<const std::string &>(), text, vars);
            return text;
        };
        std::visit(Overload{
                       [&](uint32_t htsChannelConfig::*m) {
                           if (key.automatic != nullptr) {
                               const std::optional<std::string> text =
                                   value->is_string() ? expanded() : std::nullopt;
                               this->*key.automatic = text && *text == key.choices.front().text;
                               if (this->*key.automatic) return;
                           }
                           if (key.strict)
                               this->*m = static_cast<uint32_t>(StrictNumber(key, *value));
                           // Only a non-negative integer literal counts; a
                           // wider one keeps its low 32 bits.
                           else if (value->is_number_unsigned())
                               this->*m = static_cast<uint32_t>(value->get<uint64_t>());
                       },
                       [&](uint64_t htsChannelConfig::*m) {
                           if (key.strict)
                               this->*m = StrictNumber(key, *value);
                           else if (value->is_number_unsigned())
                               this->*m = value->get<uint64_t>();
                       },
                       [&](bool htsChannelConfig::*m) {
                           if (value->is_boolean())
                               this->*m = value->get<bool>();
                           else if (key.strict)
                               ThrowInvalid(key, *value);
                       },
                       [&](std::string htsChannelConfig::*m) {
                           if (!key.strict) {
                               if (value->is_string())
                                   vx_expand_variables(value->get_ref<const std::string &>(), this->*m, vars);
                               return;
                           }
                           std::string text = *expanded();
                           CheckText(key, name, text, *value);
                           this->*m = std::move(text);
                       },
                       [&](std::optional<std::string> htsChannelConfig::*m) {
                           std::optional<std::string> text = expanded();
                           if (text) this->*m = std::move(*text);
                       },
                       [&]<typename E>(E htsChannelConfig::*m)
                           requires std::is_enum_v<E>
                       {
                           std::optional<std::string> text = expanded();
                           if (!text) return;
                           auto it = std::find_if(key.choices.begin(), key.choices.end(),
                               [&](const Choice &c) { return *text == c.text; });
                           if (it == key.choices.end()) ThrowInvalid(key, *value);
                           this->*m = static_cast<E>(it->value);
                       },
                       [&](std::vector<long> htsChannelConfig::*m) { this->*m = StatusCodes(key, *value); },
                       [&](std::vector<std::string> htsChannelConfig::*m) { this->*m = UrlList(key, *value, vars); },
                       [&](std::map<std::string, std::string> htsChannelConfig::*m) {
                           if (value->is_object()) LoadHeaders(this->*m, vars, name, *value);
                       },
                   },
            key.member);
    }
    // Taken last, so that a limit given beside "auto" in either order, or
    // inherited, is the ceiling.
    if (max_in_flight_auto) max_in_flight = max_in_flight_limit;
}

void htsChannelConfig::InheritFrom(const htsChannelConfig &defaults)
{
    for (const ChannelKey &key : channel_keys) {
        if (!key.inherited) continue;
        std::visit([&](auto m) { this->*m = defaults.*m; }, key.member);
        if (key.automatic != nullptr) this->*key.automatic = defaults.*key.automatic;
    }
}

nlohmann::json htsChannelConfig::Describe() const
{
    nlohmann::json j = nlohmann::json::object();
    j["channel"] = channel;
    for (const ChannelKey &key : channel_keys) {
        std::visit(Overload{
                       [&](const auto m) { j[key.name] = this->*m; },
                       [&](std::optional<std::string> htsChannelConfig::*m) {
                           j[key.name] = (this->*m) ? nlohmann::json(*(this->*m)) : nlohmann::json();
                       },
                       [&]<typename E>(E htsChannelConfig::*m)
                           requires std::is_enum_v<E>
                       {
                           j[key.name] = nullptr;
                           for (const Choice &c : key.choices)
                               if (static_cast<E>(c.value) == this->*m) j[key.name] = c.text;
                       },
                   },
            key.member);
        if (key.automatic != nullptr && this->*key.automatic) j[key.name] = key.choices.front().text;
    }
    // A channel that does not compress shows neither key, as before they
    // existed; one that does shows the level it compresses at.
    if (compression == htsCompression::None) {
        j["compression"] = nullptr;
        j["compression_level"] = nullptr;
    }
    else
        j["compression_level"] = CompressionLevel();
    return j;
}

nlohmann::json htsChannelConfig::DescribeMasked() const
{
    nlohmann::json j = Describe();
    for (const ChannelKey &key : channel_keys) {
        nlohmann::json &value = j[key.name];
        if (key.secret) {
            if (value.is_string() && !value.get_ref<const std::string &>().empty()) value = htsMasked;
        }
        else if (std::holds_alternative<std::map<std::string, std::string> htsChannelConfig::*>(key.member)) {
            nlohmann::json names = nlohmann::json::array();
            for (const auto &[name, text] : headers) names.push_back(name);
            value = std::move(names);
        }
    }
    j["url"] = htsMaskUrl(url);
    if (proxy) j["proxy"] = htsMaskUrl(*proxy);
    for (auto &fallback : j["fallback_urls"]) fallback = htsMaskUrl(fallback.get<std::string>());
    return j;
}

namespace {

// The JSON Schema type of a member, what Load accepts of it, and how a
// warning names what it expected.
struct MemberType {
    const char *schema;
    bool (*accepts)(const nlohmann::json &);
    const char *expected;
};

template <typename T>
MemberType TypeOf(T htsChannelConfig::*)
{
    if constexpr (std::is_same_v<T, uint32_t> || std::is_same_v<T, uint64_t>)
        return { "integer", [](const nlohmann::json &v) { return v.is_number_unsigned(); },
            "a non-negative integer" };
    else if constexpr (std::is_same_v<T, bool>)
        return { "boolean", [](const nlohmann::json &v) { return v.is_boolean(); }, "true or false" };
    else if constexpr (std::is_same_v<T, std::map<std::string, std::string>>)
        return { "object", [](const nlohmann::json &v) { return v.is_object(); }, "an object" };
    else if constexpr (std::is_same_v<T, std::vector<long>> || std::is_same_v<T, std::vector<std::string>>)
        return { "array", [](const nlohmann::json &v) { return v.is_array(); }, "an array" };
    else
        return { "string", [](const nlohmann::json &v) { return v.is_string(); }, "a text" };
}

MemberType TypeOf(const ChannelKey &key)
{
    return std::visit([](auto m) { return TypeOf(m); }, key.member);
}

const char *TypeText(const nlohmann::json &v)
{
    switch (v.type()) {
    case nlohmann::json::value_t::null: return "null";
    case nlohmann::json::value_t::boolean: return "a boolean";
    case nlohmann::json::value_t::string: return "a string";
    case nlohmann::json::value_t::array: return "an array";
    case nlohmann::json::value_t::object: return "an object";
    case nlohmann::json::value_t::number_integer: return "a negative integer";
    case nlohmann::json::value_t::number_unsigned: return "an integer";
    case nlohmann::json::value_t::number_float: return "a fractional number";
    default: return "not a plain value";
    }
}

} // namespace

std::vector<htsConfigKey> htsChannelKeys()
{
    std::vector<htsConfigKey> keys;
    for (const ChannelKey &key : channel_keys) {
        htsConfigKey k{ key.name, htsKeyScope::Both, TypeOf(key).schema, {} };
        for (const Choice &c : key.choices) k.choices.emplace_back(c.text);
        keys.push_back(std::move(k));
    }
    return keys;
}

std::vector<std::string> htsSkippedValues(const nlohmann::json &j)
{
    std::vector<std::string> found;
    for (const ChannelKey &key : channel_keys) {
        // A strict key refuses a value of another type: the load fails.
        if (key.strict) continue;
        const nlohmann::json *value = Find(j, key.name);
        if (value == nullptr) continue;
        const MemberType type = TypeOf(key);
        if (!type.accepts(*value))
            found.push_back(std::string("\"") + key.name + "\" is " + TypeText(*value) + ", expected " + type.expected);
    }
    return found;
}

bool htsChannelConfig::Succeeded(long status) const noexcept
{
    for (long code : success_codes)
        if (code == status) return true;
    return false;
}
