// The configuration file as the loader reads it.
//
// Input: the bytes of the file, read from memory.
//
// Properties:
// - only the loader's own exceptions (vxException) and the JSON library's
//   type errors leave the reader, each with a message;
// - after a good read every channel is named after its key, has a URL and no
//   header list yet, inherits what the top level did not leave to it, and the
//   defaults record is named "defaults";
// - reading the same bytes twice gives the same configuration.
#include <cstring>
#include <sstream>
#include <string>

#include "config/config_loader.h"
#include "fuzz_support.h"
#include "vxexception.h"

namespace {

htsExpansionVariables Variables()
{
    return { { "${site}", "lab" }, { "${uuid_agent}", "agent-1" }, { "${uuid_site}", "site-1" },
        { "${uuid_serial}", "" } };
}

struct Read {
    bool failed = false;
    std::string failure;
    htsConfiguration config;
};

Read ReadInput(const uint8_t *data, size_t size)
{
    Read read;
    std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
    htsExpansionVariables vars = Variables();
    try {
        read.config = htsReadConfiguration("fuzz", "sink-http.json", in, vars);
    }
    catch (const vxException &e) {
        read.failed = true;
        read.failure = e.what();
        vxfuzz::Check(!read.failure.empty(), "loader exception without a message");
    }
    catch (const nlohmann::json::type_error &e) {
        read.failed = true;
        read.failure = e.what();
        vxfuzz::Check(strstr(e.what(), "type must be ") != nullptr, "unexpected type error",
            read.failure);
    }
    // Anything else escaping the reader is a finding: the fuzzer reports it.
    return read;
}

nlohmann::json Describe(const htsConfiguration &config)
{
    nlohmann::json j;
    j["defaults"] = config.defaults.Describe();
    for (const auto &[name, record] : config.channels) j["channels"][name] = record.Describe();
    return j;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Read first = ReadInput(data, size);
    Read second = ReadInput(data, size);
    vxfuzz::Check(first.failed == second.failed && first.failure == second.failure,
        "the same input read twice failed differently", first.failure);
    if (first.failed) return 0;

    vxfuzz::Check(Describe(first.config) == Describe(second.config),
        "the same input read twice gave different configurations");

    const htsConfiguration &config = first.config;
    vxfuzz::Check(config.defaults.channel == "defaults", "defaults record misnamed");
    for (const auto &[name, record] : config.channels) {
        vxfuzz::Check(record.channel == name, "channel record misnamed", name);
        vxfuzz::Check(!record.url.empty(), "channel loaded without a url", name);
        vxfuzz::Check(record.header_list == nullptr && record.header_list_gz == nullptr,
            "a new record came with a header list", name);
    }
    return 0;
}
