#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

#include "delivery/spool.h"
#include "vxlog.h"

namespace {

// Names sort in spooling order across instances and restarts: the wall clock
// first, then a count shared by the whole process.
std::string NextName(int64_t when_ns)
{
    static std::atomic<uint64_t> sequence{ 0 };
    char name[64];
    snprintf(name, sizeof(name), "%020" PRId64 "-%010" PRIu64 ".spool", when_ns, sequence.fetch_add(1));
    return name;
}

// Bytes of the files in `dir`, those still under their hidden names
// included (this batch's, or a crash's leftovers); false when it cannot be
// read.
bool FolderSize(const std::string &dir, uint64_t &size, int &error)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        error = errno;
        return false;
    }
    size = 0;
    while (dirent *e = readdir(d)) {
        struct stat st;
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            size += static_cast<uint64_t>(st.st_size);
    }
    closedir(d);
    return true;
}

bool WriteAll(int fd, const uint8_t *data, size_t length)
{
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

std::string Head(const htsSpoolEntry &entry, int64_t when_ms)
{
    nlohmann::json j;
    j["channel"] = entry.channel;
    j["flags"] = entry.payload->flags.Bits();
    j["when"] = when_ms;
    j["error"] = entry.error;
    j["length"] = entry.payload->length;
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

} // namespace

htsSpool::htsSpool(const std::string &tag) : tag(tag) { }

htsSpool::~htsSpool() { Finish(); }

void htsSpool::Put(htsSpoolEntry entry)
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    Pending p;
    p.when_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    p.name = NextName(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
    p.entry = std::move(entry);
    const uint64_t length = p.entry.payload->length;

    std::lock_guard<std::mutex> guard(lock);
    if (queued_bytes + length > queue_bytes_max && !queue.empty()) {
        if (!queue_full) {
            queue_full = true;
            vx_printf("%s: %s: %s: spool behind, dropping payloads\n", tag.c_str(), p.entry.channel.c_str(),
                p.entry.url.c_str());
        }
        queue_lost++;
        return;
    }
    if (queue_full) {
        vx_printf("%s: %s: %s: spool accepting again, %llu payloads dropped\n", tag.c_str(),
            p.entry.channel.c_str(), p.entry.url.c_str(), queue_lost);
        queue_full = false;
        queue_lost = 0;
    }
    queued_bytes += length;
    queue.push_back(std::move(p));
    if (!writer.joinable()) {
        ending = false;
        writer = std::thread([this] { Run(); });
    }
    cond.notify_one();
}

void htsSpool::Finish()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        ending = true;
    }
    cond.notify_one();
    if (writer.joinable()) writer.join();
}

void htsSpool::Run()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        cond.wait(guard, [this] { return ending || !queue.empty(); });
        if (queue.empty()) return;
        // Everything queued goes in one batch: one flush of the disk for
        // all of it rather than one per file.
        std::deque<Pending> batch;
        batch.swap(queue);
        guard.unlock();
        WriteBatch(batch);
        uint64_t written = 0;
        for (const Pending &p : batch) written += p.entry.payload->length;
        batch.clear(); // the payloads are let go outside the lock
        guard.lock();
        queued_bytes -= written;
    }
}

void htsSpool::Lose(Folder &folder, const Pending &p, bool full, int error)
{
    const htsSpoolEntry &e = p.entry;
    if (full && !folder.full) {
        folder.full = true;
        vx_printf("%s: %s: %s: spool full, dropping payloads\n", tag.c_str(), e.channel.c_str(), e.url.c_str());
    }
    if (!full && !folder.failing) {
        folder.failing = true;
        char buffer[256];
        vx_printf("%s: %s: cannot write spool %s: %s\n", tag.c_str(), e.channel.c_str(), e.dir.c_str(),
            strerror_r(error, buffer, sizeof(buffer)));
    }
    folder.lost++;
}

void htsSpool::Recovered(Folder &folder, const Pending &p)
{
    const htsSpoolEntry &e = p.entry;
    if (folder.full || folder.failing) {
        vx_printf("%s: %s: spool %s accepting again, %llu payloads dropped\n", tag.c_str(), e.channel.c_str(),
            e.dir.c_str(), folder.lost);
    }
    folder.full = folder.failing = false;
    folder.lost = 0;
}

void htsSpool::WriteBatch(std::deque<Pending> &batch)
{
    struct Written {
        const Pending *pending;
        std::string temporary;
        std::string final_name;
        int dir_fd;
    };
    std::vector<Written> written;
    std::map<std::string, int> dir_fds;

    for (const Pending &p : batch) {
        const htsSpoolEntry &e = p.entry;
        Folder &folder = folders[e.dir];
        auto dir_it = dir_fds.find(e.dir);
        if (dir_it == dir_fds.end()) {
            const int fd = open(e.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) {
                Lose(folder, p, false, errno);
                continue;
            }
            dir_it = dir_fds.emplace(e.dir, fd).first;
        }
        const int dir_fd = dir_it->second;

        const std::string head = Head(e, p.when_ms);
        const uint64_t size = head.size() + e.payload->length;
        int error = 0;
        // The bound is checked against the folder as it is: a replay may
        // have emptied it since it was last counted.
        if (!folder.size_known || folder.size + size > e.max_bytes) {
            if (!FolderSize(e.dir, folder.size, error)) {
                Lose(folder, p, false, error);
                continue;
            }
            folder.size_known = true;
        }
        if (folder.size + size > e.max_bytes) {
            Lose(folder, p, true, 0);
            continue;
        }

        const std::string temporary = "." + p.name + ".tmp";
        const int fd = openat(dir_fd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            Lose(folder, p, false, errno);
            continue;
        }
        bool ok = WriteAll(fd, reinterpret_cast<const uint8_t *>(head.data()), head.size()) &&
            WriteAll(fd, e.payload->data.get(), e.payload->length);
        error = errno;
        close(fd);
        if (!ok) {
            unlinkat(dir_fd, temporary.c_str(), 0);
            Lose(folder, p, false, error);
            continue;
        }
        folder.size += size;
        // Ends an episode in the order the payloads came, not after the
        // whole batch.
        Recovered(folder, p);
        written.push_back({ &p, temporary, p.name, dir_fd });
    }

    // Every file reaches the disk before its name does, so a crash leaves
    // whole files under the final names; one flush per folder serves the
    // whole batch.
    std::map<int, int> flushed;
    for (const auto &[dir, fd] : dir_fds) flushed[fd] = (syncfs(fd) == 0) ? 0 : errno;

    for (const Written &w : written) {
        Folder &folder = folders[w.pending->entry.dir];
        if (flushed[w.dir_fd] != 0) {
            unlinkat(w.dir_fd, w.temporary.c_str(), 0);
            Lose(folder, *w.pending, false, flushed[w.dir_fd]);
            continue;
        }
        if (renameat(w.dir_fd, w.temporary.c_str(), w.dir_fd, w.final_name.c_str()) != 0) {
            const int error = errno;
            unlinkat(w.dir_fd, w.temporary.c_str(), 0);
            Lose(folder, *w.pending, false, error);
            continue;
        }
        vx_dprintf("%s: %s: spooled %s\n", tag.c_str(), w.pending->entry.channel.c_str(), w.final_name.c_str());
    }
    for (const auto &[dir, fd] : dir_fds) {
        fsync(fd);
        close(fd);
    }
}
