#ifndef VX_FUZZ_SUPPORT_H
#define VX_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// Each target defines the libFuzzer entry point; with g++ a replay main feeds
// it the saved corpus instead of a fuzzing engine.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace vxfuzz {

// A broken property: print what broke and abort, so that libFuzzer keeps the
// input as a crash and the replay test fails.
[[noreturn]] inline void Fail(const char *what, std::string_view detail = {})
{
    fprintf(stderr, "property broken: %s", what);
    if (!detail.empty())
        fprintf(stderr, ": %.*s", static_cast<int>(detail.size()), detail.data());
    fputc('\n', stderr);
    abort();
}

inline void Check(bool holds, const char *what, std::string_view detail = {})
{
    if (!holds) Fail(what, detail);
}

// Splits the input at NUL bytes. Hand-written seeds stay readable (fields
// separated by \0) and the fuzzer can grow or shrink any field on its own.
inline std::vector<std::string> SplitFields(const uint8_t *data, size_t size)
{
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0)
            fields.emplace_back();
        else
            fields.back().push_back(static_cast<char>(data[i]));
    }
    return fields;
}

} // namespace vxfuzz

#endif
