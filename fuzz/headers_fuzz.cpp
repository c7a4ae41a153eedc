// Header lists for arbitrary channel records and payload flags.
//
// Input: fields separated by NUL bytes. The first field is a run of flag
// bytes, one GetHeaders() call each; a byte less its top bit is the flag word
// (0x80 gives no flags, since a NUL would end the field). The second is
// the channel's "url". Then come name, value pairs: a name that starts with
// '$' defines an expansion variable, any other a configured header.
//
// Properties:
// - Load() either keeps every header with its expanded value ("-" for an
//   empty one) or refuses one that holds a line break, with its message;
// - each list holds, in order: "Content-Encoding: gzip" for the gzip slot
//   only, the content type chosen by the flags of the call that built it,
//   the User-Agent line, then the configured headers in name order;
// - a later call for the same slot returns the same list, whatever its
//   format bits;
// - no line holds a CR or LF;
// - a copy of the record builds lists of its own with the same lines.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "config/channel_config.h"
#include "fuzz_support.h"
#include "vxexception.h"
#include "vxutils.h"

namespace {

bool HasLineBreak(const std::string &text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}

std::vector<std::string> ExpectedLines(const std::map<std::string, std::string> &headers,
    uint32_t flags)
{
    std::vector<std::string> lines;
    if (flags & vxPlugin::COMPRESS_GZIP) lines.push_back("Content-Encoding: gzip");
    if (flags & vxPlugin::FORMAT_JSON)
        lines.push_back("Content-Type: application/json");
    else if (flags & vxPlugin::FORMAT_MSGPACK)
        lines.push_back("Content-Type: application/msgpack");
    else
        lines.push_back("Content-Type:");
    lines.push_back("User-Agent: " + vx_get_version_and_features(false));
    for (const auto &[name, value] : headers) lines.push_back(name + ": " + value);
    return lines;
}

// libcurl copies each line as a C string, so a line is compared up to its
// first NUL byte.
void CheckList(const curl_slist *list, const std::vector<std::string> &expected)
{
    size_t i = 0;
    for (; list != nullptr; list = list->next, i++) {
        vxfuzz::Check(i < expected.size(), "more lines than expected", list->data);
        vxfuzz::Check(strchr(list->data, '\r') == nullptr && strchr(list->data, '\n') == nullptr,
            "a header line holds a line break", list->data);
        vxfuzz::Check(strcmp(list->data, expected[i].c_str()) == 0, "line out of order or altered",
            list->data);
    }
    vxfuzz::Check(i == expected.size(), "fewer lines than expected");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> fields = vxfuzz::SplitFields(data, size);
    const std::string calls = fields[0];
    const std::string url = fields.size() > 1 ? fields[1] : std::string();

    std::map<std::string, std::string> vars;
    nlohmann::json jheaders = nlohmann::json::object();
    for (size_t i = 2; i < fields.size(); i += 2) {
        std::string value = (i + 1 < fields.size()) ? fields[i + 1] : std::string();
        if (!fields[i].empty() && fields[i][0] == '$')
            vars[fields[i]] = value;
        else
            jheaders[fields[i]] = value;
    }
    nlohmann::json j = { { "url", url }, { "headers", jheaders } };

    // What Load() must keep: expanded values, "-" for empty ones, in name
    // order, first one of a name wins (names are unique in a JSON object).
    std::map<std::string, std::string> expected_headers;
    bool refused = false;
    for (const auto &[name, value] : jheaders.items()) {
        std::string expanded;
        vx_expand_variables(value.get<std::string>(), expanded, vars);
        if (expanded.empty()) expanded.assign(1, '-'); // not `= "-"`: GCC 12 at -O3 warns (-Wrestrict)
        if (HasLineBreak(name) || HasLineBreak(expanded)) {
            refused = true;
            break;
        }
        expected_headers.emplace(name, expanded);
    }

    htsChannelConfig record;
    try {
        record.Load(vars, "fuzz", j);
    }
    catch (const vxException &e) {
        vxfuzz::Check(refused, "a header without a line break was refused", e.what());
        vxfuzz::Check(strncmp(e.what(), "fuzz: invalid header ", 21) == 0,
            "refusal without the channel's message", e.what());
        return 0;
    }
    vxfuzz::Check(!refused, "a header with a line break was accepted");
    vxfuzz::Check(record.headers == expected_headers, "stored headers differ");
    std::string expected_url;
    vx_expand_variables(url, expected_url, vars);
    vxfuzz::Check(record.url == expected_url, "url not expanded");

    curl_slist *built[2] = { nullptr, nullptr };
    uint32_t built_flags[2] = { 0, 0 };
    for (size_t i = 0; i < calls.size() && i < 16; i++) {
        const uint32_t flags = static_cast<uint8_t>(calls[i]) & 0x7fu;
        const int slot = (flags & vxPlugin::COMPRESS_GZIP) ? 1 : 0;
        curl_slist *list = record.GetHeaders(vxFlags<vxPlugin::DispatchFlags>(flags));
        vxfuzz::Check(list != nullptr, "no list built");
        if (built[slot] == nullptr) {
            built[slot] = list;
            built_flags[slot] = flags;
        }
        else
            vxfuzz::Check(list == built[slot], "a second call built a new list");
        CheckList(list, ExpectedLines(record.headers, built_flags[slot]));
    }
    if (built[0] != nullptr && built[1] != nullptr)
        vxfuzz::Check(built[0] != built[1], "both slots share one list");

    // A copy owns nothing of the original: it builds (and later frees) its
    // own lists, and the original's stay as they were.
    htsChannelConfig copy(record);
    for (int slot = 0; slot < 2; slot++) {
        if (built[slot] == nullptr) continue;
        curl_slist *list = copy.GetHeaders(vxFlags<vxPlugin::DispatchFlags>(built_flags[slot]));
        vxfuzz::Check(list != built[slot], "a copy shares a list with its original");
        CheckList(list, ExpectedLines(record.headers, built_flags[slot]));
        vxfuzz::Check(record.GetHeaders(vxFlags<vxPlugin::DispatchFlags>(built_flags[slot])) == built[slot],
            "the original's list changed");
    }
    return 0;
}
