#ifndef HTS_SPOOL_FILE_H
#define HTS_SPOOL_FILE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One spooled payload on disk: a first line of JSON and then the body.
//
//   {"channel":"a","error":"HTTP: 503","flags":1,"length":12,"when":1700000000000}
//   <12 bytes of body>
//
// "id" (a string) and "rejected" (true) are written only when set, so a file
// of a payload without them reads exactly as files always have; a reader
// ignores fields it does not know.
struct htsSpoolHead {
    std::string channel;
    uint32_t flags = 0;
    int64_t when_ms = 0;
    std::string error;
    uint64_t length = 0;
    std::string id;
    bool rejected = false;
};

// The head line, its newline included.
std::string htsSpoolHeadLine(const htsSpoolHead &head);

// Reads the head of the file `name` in the folder open as `dir_fd` and checks
// that "length" is the number of bytes after it; false with the reason in
// `why` otherwise. `file_size` is the file's whole size.
bool htsReadSpoolHead(int dir_fd, const std::string &name, htsSpoolHead &head, uint64_t &file_size,
    std::string &why);

// Reads the whole file: the head and the body.
bool htsReadSpoolFile(int dir_fd, const std::string &name, htsSpoolHead &head, std::unique_ptr<uint8_t[]> &body,
    std::string &why);

// Renames a file that is not a whole spool file to a name that says so
// (NAME.broken, neither hidden nor ending in .spool: kept for an operator,
// never counted as a payload); returns the new name, empty when it could not
// be moved.
std::string htsMoveSpoolFileAside(int dir_fd, const std::string &name);

// What a crash left in a spool folder, put right.
struct htsSpoolRecovery {
    unsigned recovered = 0; // whole files renamed to their final names
    unsigned broken = 0;    // moved aside
    // One line per file moved aside (and per folder that could not be read),
    // for the caller to log.
    std::vector<std::string> lines;
};

// A hidden `.NAME.tmp` whose head parses and whose length checks out was
// written whole and only its rename was lost: it gets its final name NAME.
// Any other leftover is moved aside (see htsMoveSpoolFileAside). Safe to run
// while nothing else writes the folder; the spool's thread runs it the first
// time it uses a folder, and the replay tool may run it before reading one.
htsSpoolRecovery htsRecoverSpoolFolder(const std::string &dir);

// Makes the spool folder `dir` when it is missing, its missing parents too,
// each with mode 0700 (the payloads may be private). False with a line of
// text in `error` when it cannot; an existing folder is left as it is.
bool htsMakeSpoolFolder(const std::string &dir, std::string &error);

#endif
