#ifndef VX_UTILS_H
#define VX_UTILS_H

#include <map>
#include <string>

// Replaces every occurrence of every key of vars in `in` by its value, in a
// single left-to-right pass: text inserted by a replacement is never scanned
// again, so a value that contains its own key cannot loop. Where two keys
// match at the same position the longer one wins.
void vx_expand_variables(const std::string &in, std::string &out,
    std::map<std::string, std::string> &vars);

// The agent's version text; with features true, the compiled-in features too.
std::string vx_get_version_and_features(bool features);

#endif
