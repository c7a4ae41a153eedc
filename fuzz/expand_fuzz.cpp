// Variable expansion on arbitrary text and variables.
//
// Input: fields separated by NUL bytes: the text, then key, value, key,
// value, ... (a key without a value gets an empty one).
//
// Properties:
// - the result equals a plain reference expansion (at each position the
//   longest key that starts there is replaced, else one byte is copied);
// - no key occurs inside a run of bytes copied unchanged from the input, so
//   nothing the input spelled out is left unreplaced;
// - the result is no longer than every input byte replaced by the longest
//   value would make it;
// - the variables are left as they were, and expanding a string into itself
//   gives the same text.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "vxutils.h"

namespace {

struct Piece {
    size_t out_begin;
    size_t out_end;
    bool copied;
};

// Written from the definition, not from the implementation: try the keys
// from longest to shortest and take the first that starts here.
std::string Reference(const std::string &in,
    const std::map<std::string, std::string> &vars, std::vector<Piece> &pieces)
{
    std::vector<const std::pair<const std::string, std::string> *> keys;
    for (const auto &var : vars)
        if (!var.first.empty()) keys.push_back(&var);
    std::stable_sort(keys.begin(), keys.end(),
        [](auto a, auto b) { return a->first.size() > b->first.size(); });

    std::string out;
    size_t pos = 0;
    while (pos < in.size()) {
        std::string_view rest(in.data() + pos, in.size() - pos);
        const std::pair<const std::string, std::string> *match = nullptr;
        for (auto key : keys) {
            if (rest.starts_with(key->first)) {
                match = key;
                break;
            }
        }
        size_t begin = out.size();
        if (match != nullptr) {
            out += match->second;
            pos += match->first.size();
            pieces.push_back({ begin, out.size(), false });
        }
        else {
            out.push_back(in[pos++]);
            if (!pieces.empty() && pieces.back().copied && pieces.back().out_end == begin)
                pieces.back().out_end = out.size();
            else
                pieces.push_back({ begin, out.size(), true });
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> fields = vxfuzz::SplitFields(data, size);
    const std::string &in = fields[0];

    std::map<std::string, std::string> vars;
    for (size_t i = 1; i < fields.size() && vars.size() < 32; i += 2)
        vars[fields[i]] = (i + 1 < fields.size()) ? fields[i + 1] : std::string();
    const auto vars_before = vars;

    std::string out = "left over from an earlier call";
    vx_expand_variables(in, out, vars);

    vxfuzz::Check(vars == vars_before, "the variables were changed");

    std::vector<Piece> pieces;
    std::string expected = Reference(in, vars, pieces);
    vxfuzz::Check(out == expected, "result differs from the reference expansion", out);

    size_t longest_value = 1;
    for (const auto &var : vars)
        if (!var.first.empty()) longest_value = std::max(longest_value, var.second.size());
    vxfuzz::Check(out.size() <= in.size() * longest_value, "result longer than its bound");

    for (const auto &piece : pieces) {
        if (!piece.copied) continue;
        std::string_view run(out.data() + piece.out_begin, piece.out_end - piece.out_begin);
        for (const auto &var : vars) {
            if (!var.first.empty() && run.find(var.first) != std::string_view::npos)
                vxfuzz::Fail("a key was left in text copied from the input", var.first);
        }
    }

    // Expanding into the input's own string must give the same text.
    std::string same = in;
    vx_expand_variables(same, same, vars);
    vxfuzz::Check(same == expected, "expanding in place differs");
    return 0;
}
