#ifndef HTS_SPOOL_INDEX_H
#define HTS_SPOOL_INDEX_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// What the spool knows of the files in one folder: each file's channel, size
// and whether it was refused for good, by file name. A long outage leaves
// hundreds of thousands of files, so an entry is kept small (a name the
// spool made itself is held as its two numbers, a channel as a number into
// a table of the folder's channel names; any other name, a file put there
// by hand, is kept as it is) and their number is bounded: past `capacity`
// files the index takes no more, and what it does not hold is read from the
// file's head when needed.
class htsSpoolIndex
{
public:
    struct File {
        std::string channel;
        bool rejected = false;
        uint64_t size = 0;
    };

    // About 80 bytes each: a few MiB at most, however long the outage.
    static constexpr size_t default_capacity = 1u << 16;
    explicit htsSpoolIndex(size_t capacity = default_capacity) : capacity(capacity) { }

    std::optional<File> Find(const std::string &name) const;
    bool Contains(const std::string &name) const;
    // Adds the file or replaces what was known of it; false when it is new
    // and the index is full (nothing is kept of it).
    bool Set(const std::string &name, const File &file);
    // What was known of it, if anything; it is forgotten.
    std::optional<File> Erase(const std::string &name);
    // Forgets every file for which `gone` is true, after telling `forget`.
    void EraseIf(const std::function<bool(const std::string &name)> &gone,
        const std::function<void(const File &file)> &forget);
    size_t Size() const { return own.size() + others.size(); }

    // The numbers a name the spool made itself stands for, if it is one.
    struct Key {
        int64_t when_ns = 0;
        uint64_t sequence = 0;
        auto operator<=>(const Key &) const = default;
    };
    static std::optional<Key> ParseName(const std::string &name);
    static std::string NameOf(const Key &key);

private:
    friend class htsSpoolNames;
    struct Entry {
        uint64_t size = 0;
        uint32_t channel = 0;
        bool rejected = false;
    };
    uint32_t ChannelNumber(const std::string &channel);
    File FileOf(const Entry &entry) const;

    size_t capacity;
    std::map<Key, Entry> own;
    std::map<std::string, Entry> others;
    std::vector<std::string> channel_names;
    std::map<std::string, uint32_t> channel_numbers;
};

// A folder's file names as one listing found them, kept as small as the
// index keeps them, in the order of the names: 16 bytes for each name the
// spool made itself.
class htsSpoolNames
{
public:
    void Add(const std::string &name);
    // Sorts what was added; before any of the rest.
    void Seal();
    bool Contains(const std::string &name) const;

    // Names can be taken out of a sealed list, one by one: the files found
    // at a folder's first use whose head is not read yet.
    // True when `name` was there and is taken now.
    bool Take(const std::string &name);
    // The last name not taken yet, taken now; empty when none is left.
    std::string TakeLast();
    // Takes every name `gone` is true for.
    void TakeIf(const std::function<bool(const std::string &name)> &gone);
    bool Empty() const { return left == 0; }

private:
    std::vector<htsSpoolIndex::Key> own;
    std::vector<std::string> others;
    std::vector<bool> own_taken, others_taken;
    size_t left = 0;
    size_t own_end = 0, others_end = 0; // past the last name not taken
};

#endif
