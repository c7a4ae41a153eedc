#ifndef VX_BENCH_RECORDS_H
#define VX_BENCH_RECORDS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vxbench {

// The results file holds one JSON object per line: its "kind", then named
// fields in the order written. Several processes append to the same file
// (the script runs one per measure, some measures more than once), which
// whole lines allow and a single document would not.
using Record = nlohmann::ordered_json;

// Appends one record; `kind` names what it measured.
void AppendRecord(const std::string &path, const std::string &kind, Record fields);

// A value rounded to `decimals`, so the file shows the precision measured
// rather than a binary fraction's tail.
double Rounded(double value, int decimals);

// `vx_bench record FILE KIND NAME=TEXT|NAME:=NUMBER...`: appends a record
// made on the command line, for figures the script takes from other tools.
int RecordCommand(int argc, char **argv, int first);

// The records of a results file, grouped by kind in file order.
class Records
{
public:
    explicit Records(const std::string &path);

    // Records of one kind, in the order they were written.
    const std::vector<Record> &Of(const std::string &kind) const;
    bool Has(const std::string &kind) const { return !Of(kind).empty(); }

private:
    std::string path;
    std::map<std::string, std::vector<Record>> by_kind;
};

// Typed access to a record's field; a missing field or one of the wrong
// type names the record's kind, its line in the file and the field.
double Number(const Record &record, const char *name);
uint64_t Count(const Record &record, const char *name);
std::string Text(const Record &record, const char *name);
bool Flag(const Record &record, const char *name);

} // namespace vxbench

#endif
