#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "records.h"

namespace vxbench {

void AppendRecord(const std::string &path, const std::string &kind, Record fields)
{
    if (!fields.is_object() || fields.contains("kind"))
        throw std::logic_error("a record is an object of named fields other than its kind");
    Record record = { { "kind", kind } };
    record.update(fields);
    std::ofstream out(path, std::ios::app);
    // One write per line: records from measures run one after another never
    // interleave, and a line is never split across writes of the stream.
    const std::string line = record.dump() + "\n";
    out << line;
    out.flush();
    if (!out) throw std::runtime_error("cannot append to " + path);
}

double Rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

int RecordCommand(int argc, char **argv, int first)
{
    if (argc - first < 2) throw std::runtime_error("usage: record FILE KIND NAME=TEXT|NAME:=NUMBER...");
    const std::string path = argv[first], kind = argv[first + 1];
    Record fields = Record::object();
    for (int i = first + 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t eq = arg.find('=');
        if (eq == std::string::npos || eq == 0)
            throw std::runtime_error("expected NAME=TEXT or NAME:=NUMBER, got: " + arg);
        const bool number = arg[eq - 1] == ':';
        const std::string name = arg.substr(0, number ? eq - 1 : eq), value = arg.substr(eq + 1);
        if (name.empty() || name == "kind") throw std::runtime_error("bad field name in: " + arg);
        if (!number) {
            fields[name] = value;
            continue;
        }
        // A figure another tool printed: anything but a plain number (empty
        // because the tool failed, or a word) is refused here rather than
        // surfacing later as a broken table.
        Record parsed = Record::parse(value, nullptr, false);
        if (!parsed.is_number()) throw std::runtime_error("not a number for " + name + ": \"" + value + "\"");
        fields[name] = parsed;
    }
    AppendRecord(path, kind, fields);
    return 0;
}

Records::Records(const std::string &path) : path(path)
{
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        Record record = Record::parse(line, nullptr, false);
        if (record.is_discarded() || !record.is_object() || !record.contains("kind") ||
            !record["kind"].is_string())
            throw std::runtime_error(path + ":" + std::to_string(number) + ": not a record: " + line);
        by_kind[record["kind"].get<std::string>()].push_back(std::move(record));
    }
}

const std::vector<Record> &Records::Of(const std::string &kind) const
{
    static const std::vector<Record> none;
    auto it = by_kind.find(kind);
    return it == by_kind.end() ? none : it->second;
}

namespace {

const Record &Field(const Record &record, const char *name, bool (Record::*is)() const noexcept,
    const char *what)
{
    auto it = record.find(name);
    if (it == record.end() || !((*it).*is)()) {
        throw std::runtime_error(record.value("kind", std::string("untyped")) + " record has no " + what +
            " \"" + name + "\": " + record.dump());
    }
    return *it;
}

} // namespace

double Number(const Record &record, const char *name)
{
    return Field(record, name, &Record::is_number, "number").get<double>();
}

uint64_t Count(const Record &record, const char *name)
{
    return Field(record, name, &Record::is_number_unsigned, "count").get<uint64_t>();
}

std::string Text(const Record &record, const char *name)
{
    return Field(record, name, &Record::is_string, "text").get<std::string>();
}

bool Flag(const Record &record, const char *name)
{
    return Field(record, name, &Record::is_boolean, "flag").get<bool>();
}

} // namespace vxbench
