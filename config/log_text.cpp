#include <cstdio>

#include "config/log_text.h"

std::string htsEscapeControl(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
            out += escaped;
        }
        else
            out.push_back(c);
    }
    return out;
}
