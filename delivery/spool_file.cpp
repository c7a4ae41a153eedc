#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "delivery/spool_file.h"

namespace {

// A head longer than this is not one of ours.
constexpr size_t head_max = 1u << 20;

struct Fd {
    int fd = -1;
    explicit Fd(int fd) : fd(fd) { }
    ~Fd()
    {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

std::string ErrorText(int error)
{
    char buffer[256];
    return strerror_r(error, buffer, sizeof(buffer));
}

bool ParseHead(const std::string &line, htsSpoolHead &head, std::string &why)
{
    try {
        const nlohmann::json j = nlohmann::json::parse(line);
        head.channel = j.at("channel").get<std::string>();
        head.flags = j.at("flags").get<uint32_t>();
        head.length = j.at("length").get<uint64_t>();
        head.when_ms = j.value("when", int64_t{ 0 });
        head.error = j.value("error", std::string());
        head.id = j.value("id", std::string());
        head.rejected = j.value("rejected", false);
        return true;
    }
    catch (const std::exception &e) {
        why = std::string("bad head: ") + e.what();
        return false;
    }
}

// Reads up to the first newline; `rest` gets what was read past it.
bool ReadHeadLine(int fd, std::string &line, std::string &rest, std::string &why)
{
    line.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0) {
            if (errno == EINTR) continue;
            why = "cannot read: " + ErrorText(errno);
            return false;
        }
        if (n == 0) {
            why = "no head line";
            return false;
        }
        const size_t before = line.size();
        line.append(buffer, static_cast<size_t>(n));
        const size_t eol = line.find('\n', before);
        if (eol != std::string::npos) {
            rest = line.substr(eol + 1);
            line.resize(eol);
            return true;
        }
        if (line.size() > head_max) {
            why = "no head line";
            return false;
        }
    }
}

} // namespace

std::string htsSpoolHeadLine(const htsSpoolHead &head)
{
    nlohmann::json j;
    j["channel"] = head.channel;
    j["flags"] = head.flags;
    j["when"] = head.when_ms;
    j["error"] = head.error;
    j["length"] = head.length;
    if (!head.id.empty()) j["id"] = head.id;
    if (head.rejected) j["rejected"] = true;
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool htsReadSpoolHead(int dir_fd, const std::string &name, htsSpoolHead &head, uint64_t &file_size,
    std::string &why)
{
    Fd fd(openat(dir_fd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0) {
        why = "cannot read: " + ErrorText(errno);
        return false;
    }
    file_size = static_cast<uint64_t>(st.st_size);
    std::string line, rest;
    if (!ReadHeadLine(fd.fd, line, rest, why) || !ParseHead(line, head, why)) return false;
    if (head.length != file_size - line.size() - 1) {
        why = "body length differs";
        return false;
    }
    return true;
}

bool htsReadSpoolFile(int dir_fd, const std::string &name, htsSpoolHead &head, std::unique_ptr<uint8_t[]> &body,
    std::string &why)
{
    Fd fd(openat(dir_fd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0) {
        why = "cannot read: " + ErrorText(errno);
        return false;
    }
    std::string line, rest;
    if (!ReadHeadLine(fd.fd, line, rest, why) || !ParseHead(line, head, why)) return false;
    if (head.length != static_cast<uint64_t>(st.st_size) - line.size() - 1 || rest.size() > head.length) {
        why = "body length differs";
        return false;
    }
    body = std::make_unique_for_overwrite<uint8_t[]>(head.length);
    memcpy(body.get(), rest.data(), rest.size());
    size_t have = rest.size();
    while (have < head.length) {
        const ssize_t n = read(fd.fd, body.get() + have, head.length - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            why = (n < 0) ? "cannot read: " + ErrorText(errno) : "body length differs";
            return false;
        }
        have += static_cast<size_t>(n);
    }
    return true;
}

std::string htsMoveSpoolFileAside(int dir_fd, const std::string &name)
{
    std::string base = name;
    if (base.size() > 5 && base.compare(base.size() - 4, 4, ".tmp") == 0 && base[0] == '.')
        base = base.substr(1, base.size() - 5);
    std::string aside = base + ".broken";
    // A name taken by an earlier one gets a number rather than replacing it.
    for (unsigned n = 1; faccessat(dir_fd, aside.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0 && n < 1000; n++)
        aside = base + "." + std::to_string(n) + ".broken";
    if (renameat(dir_fd, name.c_str(), dir_fd, aside.c_str()) != 0) return std::string();
    return aside;
}

htsSpoolRecovery htsRecoverSpoolFolder(const std::string &dir)
{
    htsSpoolRecovery r;
    Fd dir_fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd.fd < 0) {
        if (errno != ENOENT) r.lines.push_back("cannot read spool " + dir + ": " + ErrorText(errno));
        return r;
    }
    std::vector<std::string> leftovers;
    {
        DIR *d = fdopendir(dup(dir_fd.fd));
        if (d == nullptr) {
            r.lines.push_back("cannot read spool " + dir + ": " + ErrorText(errno));
            return r;
        }
        while (dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > 5 && name[0] == '.' && name.compare(name.size() - 4, 4, ".tmp") == 0)
                leftovers.push_back(name);
        }
        closedir(d);
    }
    bool changed = false;
    for (const std::string &name : leftovers) {
        htsSpoolHead head;
        uint64_t size = 0;
        std::string why;
        if (htsReadSpoolHead(dir_fd.fd, name, head, size, why)) {
            const std::string final_name = name.substr(1, name.size() - 5);
            // Whole on the disk or not, it is flushed before its name is.
            const Fd fd(openat(dir_fd.fd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
            if (fd.fd >= 0 && fdatasync(fd.fd) == 0 &&
                renameat(dir_fd.fd, name.c_str(), dir_fd.fd, final_name.c_str()) == 0) {
                r.recovered++;
                changed = true;
                continue;
            }
            why = "cannot rename: " + ErrorText(errno);
        }
        const std::string aside = htsMoveSpoolFileAside(dir_fd.fd, name);
        r.broken++;
        if (aside.empty())
            r.lines.push_back("spool " + dir + ": cannot move aside " + name + " (" + why + "): " + ErrorText(errno));
        else {
            changed = true;
            r.lines.push_back("spool " + dir + ": " + name + " moved aside as " + aside + ": " + why);
        }
    }
    if (changed) fsync(dir_fd.fd);
    return r;
}

bool htsMakeSpoolFolder(const std::string &dir, std::string &error)
{
    if (dir.empty()) {
        error = "cannot make spool folder: empty name";
        return false;
    }
    // Each missing parent in turn, from the top.
    for (size_t pos = 1;; pos++) {
        pos = dir.find('/', pos);
        const std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot make spool folder " + part + ": " + ErrorText(errno);
            return false;
        }
        if (pos == std::string::npos) break;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        error = "cannot make spool folder " + dir + ": " + ErrorText(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = "cannot make spool folder " + dir + ": " + ErrorText(ENOTDIR);
        return false;
    }
    return true;
}
