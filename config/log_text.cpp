#include <cctype>
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

namespace {

bool IsSchemeChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
        c == '-' || c == '.';
}

// Appends `text[0, end)` to `out`, with the secret of the user information
// in the authority `text[start, end)` masked: the password when there is one,
// else the whole user part, where a token may stand in for a name. The user
// information ends at the authority's last "@", so a password holding a raw
// "@" is masked whole.
void AppendMaskedAuthority(std::string &out, std::string_view text, size_t start, size_t end)
{
    const std::string_view authority = text.substr(start, end - start);
    const size_t at = authority.rfind('@');
    if (at == std::string_view::npos) {
        out.append(text.substr(0, end));
        return;
    }
    const size_t colon = authority.substr(0, at).find(':');
    if (colon == std::string_view::npos) {
        out.append(text.substr(0, start));
        out.append(htsMasked);
        out.append(text.substr(start + at, end - start - at));
        return;
    }
    out.append(text.substr(0, start + colon + 1));
    out.append(htsMasked);
    out.append(text.substr(start + at, end - start - at));
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) return false;
    }
    return true;
}

bool CarriesCredentials(std::string_view name)
{
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    for (std::string_view secret : { "Authorization", "Proxy-Authorization", "Cookie" })
        if (SameNameIgnoringCase(name, secret)) return true;
    return false;
}

} // namespace

std::string htsMaskUrl(std::string_view url)
{
    // Without a scheme libcurl takes the text as host and path, which may
    // still begin with user information.
    size_t start = 0;
    const size_t scheme_end = url.find("://");
    if (scheme_end != std::string_view::npos && scheme_end > 0) {
        const std::string_view scheme = url.substr(0, scheme_end);
        bool is_scheme = true;
        for (char c : scheme) is_scheme = is_scheme && IsSchemeChar(c);
        if (is_scheme) start = scheme_end + 3;
    }
    size_t end = url.find_first_of("/?#", start);
    if (end == std::string_view::npos) end = url.size();

    std::string out;
    out.reserve(url.size());
    AppendMaskedAuthority(out, url, start, end);
    out.append(url.substr(end));
    return out;
}

std::string htsMaskUrlsInText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    size_t done = 0;
    for (size_t mark; (mark = text.find("://", done)) != std::string_view::npos;) {
        const size_t start = mark + 3;
        size_t end = start;
        // A URL quoted in prose ends where the quote or the word does.
        while (end < text.size()) {
            const auto c = static_cast<unsigned char>(text[end]);
            if (c <= 0x20 || c == 0x7f || c == '/' || c == '?' || c == '#' || c == '\'' || c == '"' ||
                c == '<' || c == '>' || c == '`')
                break;
            end++;
        }
        const std::string_view rest = text.substr(done);
        AppendMaskedAuthority(out, rest, start - done, end - done);
        done = end;
    }
    out.append(text.substr(done));
    return out;
}

std::string htsMaskHeaderLines(std::string_view block)
{
    std::string out;
    out.reserve(block.size());
    bool masking = false; // a folded continuation belongs to the line above
    while (!block.empty()) {
        size_t next = block.find('\n');
        next = (next == std::string_view::npos) ? block.size() : next + 1;
        std::string_view line = block.substr(0, next);
        block.remove_prefix(next);

        size_t body_end = line.size();
        if (body_end > 0 && line[body_end - 1] == '\n') body_end--;
        if (body_end > 0 && line[body_end - 1] == '\r') body_end--;
        const std::string_view ending = line.substr(body_end);

        const bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t') && body_end > 0;
        if (continuation && masking) {
            out.append(line.substr(0, 1));
            out.append(htsMasked);
            out.append(ending);
            continue;
        }
        const size_t colon = line.substr(0, body_end).find(':');
        masking = colon != std::string_view::npos && CarriesCredentials(line.substr(0, colon));
        if (!masking) {
            out.append(line);
            continue;
        }
        out.append(line.substr(0, colon + 1));
        out.push_back(' ');
        out.append(htsMasked);
        out.append(ending);
    }
    return out;
}

std::string htsChannelLinePrefix(std::string_view tag, std::string_view channel, std::string_view url)
{
    std::string out;
    out.reserve(tag.size() + channel.size() + url.size() + 6);
    out.append(tag);
    out.append(": ");
    out.append(htsEscapeControl(channel));
    out.append(": ");
    out.append(htsMaskUrl(url));
    out.append(": ");
    return out;
}
