#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "delivery/spool_index.h"

std::optional<htsSpoolIndex::Key> htsSpoolIndex::ParseName(const std::string &name)
{
    // Twenty digits, a dash, ten digits and ".spool": anything else, even
    // the same numbers written otherwise, is kept under its own name, so
    // that a name always comes back as it was.
    constexpr size_t length = 20 + 1 + 10 + 6;
    if (name.size() != length || name[20] != '-' || name.compare(31, 6, ".spool") != 0) return std::nullopt;
    Key key;
    uint64_t when = 0;
    for (size_t i = 0; i < 20; i++) {
        const char c = name[i];
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (when > (static_cast<uint64_t>(INT64_MAX) - digit) / 10) return std::nullopt;
        when = when * 10 + digit;
    }
    for (size_t i = 21; i < 31; i++) {
        const char c = name[i];
        if (c < '0' || c > '9') return std::nullopt;
        key.sequence = key.sequence * 10 + static_cast<uint64_t>(c - '0');
    }
    key.when_ns = static_cast<int64_t>(when);
    return key;
}

std::string htsSpoolIndex::NameOf(const Key &key)
{
    char name[64];
    snprintf(name, sizeof(name), "%020" PRId64 "-%010" PRIu64 ".spool", key.when_ns, key.sequence);
    return name;
}

uint32_t htsSpoolIndex::ChannelNumber(const std::string &channel)
{
    auto [it, added] = channel_numbers.emplace(channel, static_cast<uint32_t>(channel_names.size()));
    if (added) channel_names.push_back(channel);
    return it->second;
}

htsSpoolIndex::File htsSpoolIndex::FileOf(const Entry &entry) const
{
    return File{ channel_names[entry.channel], entry.rejected, entry.size };
}

std::optional<htsSpoolIndex::File> htsSpoolIndex::Find(const std::string &name) const
{
    if (const std::optional<Key> key = ParseName(name)) {
        auto it = own.find(*key);
        if (it != own.end()) return FileOf(it->second);
        return std::nullopt;
    }
    auto it = others.find(name);
    if (it != others.end()) return FileOf(it->second);
    return std::nullopt;
}

bool htsSpoolIndex::Contains(const std::string &name) const
{
    if (const std::optional<Key> key = ParseName(name)) return own.count(*key) != 0;
    return others.count(name) != 0;
}

bool htsSpoolIndex::Set(const std::string &name, const File &file)
{
    const std::optional<Key> key = ParseName(name);
    const bool known = key ? own.count(*key) != 0 : others.count(name) != 0;
    if (!known && Size() >= capacity) return false;
    const Entry entry{ file.size, ChannelNumber(file.channel), file.rejected };
    if (key)
        own[*key] = entry;
    else
        others[name] = entry;
    return true;
}

std::optional<htsSpoolIndex::File> htsSpoolIndex::Erase(const std::string &name)
{
    std::optional<File> file;
    if (const std::optional<Key> key = ParseName(name)) {
        auto it = own.find(*key);
        if (it == own.end()) return std::nullopt;
        file = FileOf(it->second);
        own.erase(it);
        return file;
    }
    auto it = others.find(name);
    if (it == others.end()) return std::nullopt;
    file = FileOf(it->second);
    others.erase(it);
    return file;
}

void htsSpoolIndex::EraseIf(const std::function<bool(const std::string &name)> &gone,
    const std::function<void(const File &file)> &forget)
{
    for (auto it = own.begin(); it != own.end();) {
        if (!gone(NameOf(it->first))) {
            ++it;
            continue;
        }
        forget(FileOf(it->second));
        it = own.erase(it);
    }
    for (auto it = others.begin(); it != others.end();) {
        if (!gone(it->first)) {
            ++it;
            continue;
        }
        forget(FileOf(it->second));
        it = others.erase(it);
    }
}

void htsSpoolNames::Add(const std::string &name)
{
    if (const std::optional<htsSpoolIndex::Key> key = htsSpoolIndex::ParseName(name))
        own.push_back(*key);
    else
        others.push_back(name);
}

void htsSpoolNames::Seal()
{
    std::sort(own.begin(), own.end());
    std::sort(others.begin(), others.end());
    own_taken.assign(own.size(), false);
    others_taken.assign(others.size(), false);
    left = own.size() + others.size();
    own_end = own.size();
    others_end = others.size();
}

bool htsSpoolNames::Take(const std::string &name)
{
    if (const std::optional<htsSpoolIndex::Key> key = htsSpoolIndex::ParseName(name)) {
        auto it = std::lower_bound(own.begin(), own.end(), *key);
        if (it == own.end() || *it != *key) return false;
        const size_t i = static_cast<size_t>(it - own.begin());
        if (own_taken[i]) return false;
        own_taken[i] = true;
    }
    else {
        auto it = std::lower_bound(others.begin(), others.end(), name);
        if (it == others.end() || *it != name) return false;
        const size_t i = static_cast<size_t>(it - others.begin());
        if (others_taken[i]) return false;
        others_taken[i] = true;
    }
    left--;
    return true;
}

std::string htsSpoolNames::TakeLast()
{
    while (own_end > 0 && own_taken[own_end - 1]) own_end--;
    while (others_end > 0 && others_taken[others_end - 1]) others_end--;
    if (own_end == 0 && others_end == 0) return std::string();
    // The later of the two lists' last names: the spool's own names sort by
    // their numbers as by their text.
    std::string own_name = own_end > 0 ? htsSpoolIndex::NameOf(own[own_end - 1]) : std::string();
    if (others_end == 0 || (own_end > 0 && own_name > others[others_end - 1])) {
        own_taken[--own_end] = true;
        left--;
        return own_name;
    }
    others_taken[--others_end] = true;
    left--;
    return others[others_end];
}

void htsSpoolNames::TakeIf(const std::function<bool(const std::string &name)> &gone)
{
    for (size_t i = 0; i < own.size(); i++) {
        if (own_taken[i] || !gone(htsSpoolIndex::NameOf(own[i]))) continue;
        own_taken[i] = true;
        left--;
    }
    for (size_t i = 0; i < others.size(); i++) {
        if (others_taken[i] || !gone(others[i])) continue;
        others_taken[i] = true;
        left--;
    }
}

bool htsSpoolNames::Contains(const std::string &name) const
{
    if (const std::optional<htsSpoolIndex::Key> key = htsSpoolIndex::ParseName(name))
        return std::binary_search(own.begin(), own.end(), *key);
    return std::binary_search(others.begin(), others.end(), name);
}

