#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <queue>
#include <string_view>
#include <vector>

#include "config/log_text.h"
#include "delivery/spool.h"
#include "delivery/spool_file.h"
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

bool EndsWith(std::string_view s, std::string_view end)
{
    return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

// A payload's file, or one being written.
bool IsSpoolName(const std::string &name)
{
    if (name.empty()) return false;
    if (name[0] == '.') return EndsWith(name, ".tmp");
    return EndsWith(name, ".spool");
}

class Fd
{
public:
    explicit Fd(int fd = -1) : fd(fd) { }
    ~Fd()
    {
        if (fd >= 0) close(fd);
    }
    Fd(Fd &&other) noexcept : fd(other.fd) { other.fd = -1; }
    Fd &operator=(Fd &&) = delete;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int Get() const { return fd; }

private:
    int fd;
};

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

void Less(unsigned long long &figure, unsigned long long by) { figure = (figure > by) ? figure - by : 0; }

} // namespace

htsSpool::htsSpool(const std::string &tag) : tag(tag) { }

htsSpool::~htsSpool() { Finish(); }

template <typename F> void htsSpool::Count(const std::string &channel, F change)
{
    std::lock_guard<std::mutex> guard(figures_lock);
    change(figures.channels[channel]);
}

void htsSpool::Start()
{
    if (!writer.joinable()) {
        ending = false;
        writer = std::thread([this] { Run(); });
    }
    cond.notify_one();
}

bool htsSpool::Put(htsSpoolEntry &&entry, htsSpoolPut mode)
{
    const uint64_t length = entry.payload->length;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (mode != htsSpoolPut::always && queued_bytes + length > queue_bytes_max && !queue.empty()) {
            if (mode == htsSpoolPut::refuse) return false; // the caller keeps it
            if (queue_behind.Drop()) {
                vx_printf("%sspool behind, dropping payloads\n",
                    htsChannelLinePrefix(tag, entry.channel, entry.url).c_str());
            }
            Count(entry.channel, [](htsSpoolFigures &f) { f.lost_behind++; });
            return false;
        }
    }
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    Pending p;
    p.when_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    p.name = NextName(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
    p.entry = std::move(entry);

    std::lock_guard<std::mutex> guard(lock);
    if (unsigned long long dropped = 0; queue_behind.End(dropped))
        vx_printf("%sspool accepting again, %llu payloads dropped\n",
            htsChannelLinePrefix(tag, p.entry.channel, p.entry.url).c_str(), dropped);
    queued_bytes += length;
    queue.push_back(std::move(p));
    Start();
    return true;
}

bool htsSpool::Behind() const
{
    std::lock_guard<std::mutex> guard(lock);
    return queued_bytes >= queue_bytes_max;
}

void htsSpool::Read(htsSpoolRead request)
{
    std::lock_guard<std::mutex> guard(lock);
    reads.push_back(std::move(request));
    Start();
}

std::vector<htsSpoolReadResult> htsSpool::TakeReadResults()
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<htsSpoolReadResult> taken;
    taken.swap(results);
    return taken;
}

void htsSpool::SetWake(std::function<void()> function)
{
    std::lock_guard<std::mutex> guard(lock);
    wake = std::make_shared<const std::function<void()>>(std::move(function));
}

void htsSpool::Delivered(const std::string &handle)
{
    std::lock_guard<std::mutex> guard(lock);
    deletes.push_back(handle);
    Start();
}

void htsSpool::Released(const std::string &handle)
{
    std::lock_guard<std::mutex> guard(lock);
    outstanding.erase(handle);
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

htsSpoolSnapshot htsSpool::Snapshot() const
{
    std::lock_guard<std::mutex> guard(figures_lock);
    return figures;
}

void htsSpool::Run()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        cond.wait(guard,
            [this] { return ending || attributing || !queue.empty() || !reads.empty() || !deletes.empty(); });
        if (queue.empty() && reads.empty() && deletes.empty()) {
            if (ending) return;
            guard.unlock();
            try {
                attributing = Attribute(512);
            }
            catch (...) {
                // Only figures are missing: the files are read when asked for.
                attributing = false;
            }
            guard.lock();
            continue;
        }
        // Everything queued goes in one batch: one flush per file and one
        // per folder for all of it. The swaps allocate nothing.
        writing.swap(queue);
        deleting.swap(deletes);
        reading.swap(reads);
        guard.unlock();

        // Nothing thrown here may end the agent: what the batch had not
        // written yet is lost, counted and logged, and the thread goes on.
        try {
            WriteBatch(writing);
        }
        catch (const std::exception &e) {
            LoseWriterFailure(writing, e.what());
        }
        catch (...) {
            LoseWriterFailure(writing, "unknown error");
        }
        uint64_t written = 0;
        for (const Pending &p : writing) written += p.entry.payload->length;
        writing.clear(); // the payloads are let go outside the lock

        std::vector<htsSpoolReadResult> answers;
        try {
            for (const std::string &handle : deleting) DoDelete(handle);
            answers.reserve(reading.size());
            for (const htsSpoolRead &r : reading) answers.push_back(DoRead(r));
        }
        catch (...) {
            // An answer still goes to every read, so the caller is not left
            // waiting; what it did not get it asks for again.
            try {
                vx_printf("%s: spool reader failed, %zu reads answered empty\n", tag.c_str(), reading.size());
                answers.clear();
                for (htsSpoolRead &r : reading) answers.push_back({ std::move(r.channel), {} });
            }
            catch (...) {
                answers.clear();
            }
        }
        deleting.clear();
        reading.clear();

        guard.lock();
        queued_bytes -= written;
        if (!answers.empty()) {
            for (htsSpoolReadResult &a : answers) results.push_back(std::move(a));
            // Called without the lock, so that it may call TakeReadResults().
            const std::shared_ptr<const std::function<void()>> call = wake;
            guard.unlock();
            if (call && *call) (*call)();
            guard.lock();
        }
    }
}

void htsSpool::LoseWriterFailure(std::deque<Pending> &batch, const char *what) noexcept
{
    // Short of memory still: whatever cannot be counted or logged now is
    // not worth ending the agent for.
    try {
        LoseBatch(batch, what);
    }
    catch (...) {
        for (Pending &p : batch) p.state = Pending::done;
    }
}

void htsSpool::LoseBatch(std::deque<Pending> &batch, const char *what)
{
    unsigned long long lost = 0;
    for (Pending &p : batch) {
        if (p.state == Pending::done) continue;
        if (p.state == Pending::written) {
            const std::string temporary = p.entry.dir + "/." + p.name + ".tmp";
            unlink(temporary.c_str());
        }
        p.state = Pending::done;
        lost++;
        Count(p.entry.channel, [](htsSpoolFigures &f) { f.lost_writer++; });
    }
    vx_printf("%s: spool writer failed: %s, %llu payloads lost\n", tag.c_str(), what, lost);
}

void htsSpool::Lose(Folder &folder, const Pending &p, bool full, int error)
{
    const htsSpoolEntry &e = p.entry;
    if (full && !folder.full) {
        folder.full = true;
        vx_printf("%sspool full, dropping payloads\n", htsChannelLinePrefix(tag, e.channel, e.url).c_str());
    }
    if (!full && !folder.failing) {
        folder.failing = true;
        char buffer[256];
        vx_printf("%s: %s: cannot write spool %s: %s\n", tag.c_str(), htsEscapeControl(e.channel).c_str(), e.dir.c_str(),
            strerror_r(error, buffer, sizeof(buffer)));
    }
    folder.lost++;
    Count(e.channel, [full](htsSpoolFigures &f) { (full ? f.lost_full : f.lost_unwritable)++; });
}

void htsSpool::Recovered(Folder &folder, const Pending &p)
{
    const htsSpoolEntry &e = p.entry;
    if (folder.full || folder.failing) {
        vx_printf("%s: %s: spool %s accepting again, %llu payloads dropped\n", tag.c_str(), htsEscapeControl(e.channel).c_str(),
            e.dir.c_str(), folder.lost);
    }
    folder.full = folder.failing = false;
    folder.lost = 0;
}

htsSpool::Folder &htsSpool::Use(const std::string &dir, int &error)
{
    Folder &folder = folders[dir];
    error = 0;
    if (folder.size_known) return folder;
    if (folder.known.Size() == 0) folder.known = htsSpoolIndex(index_capacity);
    {
        // A folder that cannot be opened is the writer's episode to log.
        const Fd probe(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (probe.Get() < 0) {
            error = errno;
            return folder;
        }
    }
    // First use: whole files a crash left under hidden names count as
    // spooled, the rest is moved aside, before anything is counted. Once
    // per process: after a reload, the spool of the configuration before
    // may still be writing here, and its files are not leftovers.
    static std::mutex recovered_lock;
    static std::set<std::string> recovered;
    {
        std::lock_guard<std::mutex> guard(recovered_lock);
        if (!recovered.insert(dir).second) {
            if (Scan(dir, folder, true, error)) folder.size_known = true;
            return folder;
        }
    }
    const htsSpoolRecovery r = htsRecoverSpoolFolder(dir);
    for (const std::string &line : r.lines) vx_printf("%s: %s\n", tag.c_str(), line.c_str());
    if (r.recovered > 0)
        vx_printf("%s: spool %s: %u files left by a stop cut short recovered\n", tag.c_str(), dir.c_str(),
            r.recovered);
    if (r.broken > 0) {
        std::lock_guard<std::mutex> guard(figures_lock);
        figures.broken_unknown += r.broken;
    }
    if (Scan(dir, folder, true, error)) folder.size_known = true;
    return folder;
}

bool htsSpool::Scan(const std::string &dir, Folder &folder, bool first, int &error)
{
    Fd dir_fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR *d = (dir_fd.Get() >= 0) ? fdopendir(dup(dir_fd.Get())) : nullptr;
    if (d == nullptr) {
        error = errno;
        return false;
    }
    std::unique_ptr<DIR, int (*)(DIR *)> closer(d, closedir);
    uint64_t size = 0;
    htsSpoolNames present;
    if (first) folder.unattributed = htsSpoolNames();
    while (dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (!IsSpoolName(name)) continue;
        struct stat st;
        if (fstatat(dir_fd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        const uint64_t file_size = static_cast<uint64_t>(st.st_size);
        size += file_size;
        if (name[0] == '.') continue;
        if (first) {
            // Which channel each file is for is read later, while the
            // thread has nothing else to do: a folder of many files must
            // not hold up the first payloads (or a stop).
            folder.unattributed.Add(name);
            attributing = true;
        }
        else
            present.Add(name);
    }
    if (first)
        folder.unattributed.Seal();
    else {
        present.Seal();
        folder.unattributed.TakeIf([&present](const std::string &n) { return !present.Contains(n); });
        // What something else (a replay) removed meanwhile.
        folder.known.EraseIf([&present](const std::string &name) { return !present.Contains(name); },
            [this](const htsSpoolIndex::File &file) {
                const uint64_t gone = file.size;
                const bool rejected = file.rejected;
                Count(file.channel, [gone, rejected](htsSpoolFigures &f) {
                    Less(f.files, 1);
                    Less(f.bytes, gone);
                    if (rejected) Less(f.rejected, 1);
                });
            });
    }
    folder.size = size;
    folder.scanned = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(figures_lock);
    figures.scans++;
    return true;
}

void htsSpool::CountFound(const std::string &channel, uint64_t size, bool rejected)
{
    Count(channel, [size, rejected](htsSpoolFigures &f) {
        f.files++;
        f.bytes += size;
        if (rejected) f.rejected++;
    });
}

bool htsSpool::Attribute(size_t count)
{
    for (auto &[dir, folder] : folders) {
        if (folder.unattributed.Empty()) continue;
        const Fd dir_fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        while (!folder.unattributed.Empty() && count > 0) {
            const std::string name = folder.unattributed.TakeLast();
            count--;
            if (dir_fd.Get() < 0 || folder.known.Contains(name)) continue;
            htsSpoolHead head;
            uint64_t size = 0;
            std::string why;
            // One that does not parse is moved aside when a read meets it.
            if (!htsReadSpoolHead(dir_fd.Get(), name, head, size, why)) continue;
            if (!folder.known.Set(name, { head.channel, head.rejected, size })) folder.unindexed = true;
            CountFound(head.channel, size, head.rejected);
        }
        // The list's memory goes with its last name.
        if (folder.unattributed.Empty()) folder.unattributed = htsSpoolNames();
        if (count == 0) return true;
    }
    return false;
}

void htsSpool::WriteBatch(std::deque<Pending> &batch)
{
    std::map<std::string, Fd> dir_fds;
    std::set<int> renamed_in;

    // Files written but not flushed yet. Flushing them side by side once a
    // few are written lets the file system commit them together, many
    // times faster than a flush after each write; each file still reaches
    // the disk before its name does.
    struct Written {
        Pending *p;
        Folder *folder;
        int dir_fd;
        Fd fd;
        std::string temporary;
        uint64_t size;
    };
    std::vector<Written> unflushed;
    constexpr size_t flush_together = 64;

    auto flush = [&]() {
        std::vector<int> fds;
        fds.reserve(unflushed.size());
        for (const Written &w : unflushed) fds.push_back(w.fd.Get());
        const std::vector<int> sync_errors = syncs.Sync(fds);
        for (size_t i = 0; i < unflushed.size(); i++) {
            Written &w = unflushed[i];
            Pending &p = *w.p;
            const htsSpoolEntry &e = p.entry;
            int error = sync_errors[i];
            const bool ok = error == 0;
            if (!ok || renameat(w.dir_fd, w.temporary.c_str(), w.dir_fd, p.name.c_str()) != 0) {
                if (ok) error = errno;
                unlinkat(w.dir_fd, w.temporary.c_str(), 0);
                // Its room was taken when it was written.
                w.folder->size = (w.folder->size > w.size) ? w.folder->size - w.size : 0;
                Lose(*w.folder, p, false, error);
                p.state = Pending::done;
                continue;
            }
            p.state = Pending::done;
            renamed_in.insert(w.dir_fd);
            if (!w.folder->known.Set(p.name, { e.channel, e.rejected, w.size })) w.folder->unindexed = true;
            const uint64_t size = w.size;
            const bool rejected = e.rejected;
            Count(e.channel, [size, rejected](htsSpoolFigures &f) {
                f.spooled++;
                f.files++;
                f.bytes += size;
                if (rejected) f.rejected++;
            });
            vx_dprintf("%s: %s: spooled %s\n", tag.c_str(), htsEscapeControl(e.channel).c_str(), p.name.c_str());
        }
        unflushed.clear();
    };

    for (Pending &p : batch) {
        const htsSpoolEntry &e = p.entry;
        int error = 0;
        Folder &folder = Use(e.dir, error);
        if (error != 0) {
            Lose(folder, p, false, error);
            p.state = Pending::done;
            continue;
        }
        auto dir_it = dir_fds.find(e.dir);
        if (dir_it == dir_fds.end()) {
            Fd fd(open(e.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (fd.Get() < 0) {
                Lose(folder, p, false, errno);
                p.state = Pending::done;
                continue;
            }
            dir_it = dir_fds.emplace(e.dir, std::move(fd)).first;
        }
        const int dir_fd = dir_it->second.Get();

        // The body alone past the bound needs no head to be told: a full
        // folder turns payloads away without building one for each.
        if (folder.size + e.payload->length > e.max_bytes &&
            std::chrono::steady_clock::now() - folder.scanned < rescan_interval) {
            Lose(folder, p, true, 0);
            p.state = Pending::done;
            continue;
        }
        htsSpoolHead h;
        h.channel = e.channel;
        h.flags = e.payload->flags.Bits();
        h.when_ms = p.when_ms;
        h.error = e.error;
        h.length = e.payload->length;
        h.id = e.id;
        h.rejected = e.rejected;
        const std::string head = htsSpoolHeadLine(h);
        const uint64_t size = head.size() + e.payload->length;
        // A full folder is counted again now and then: a replay may have
        // emptied it since. Files not flushed yet are on disk already and
        // counted by the scan, so they go first.
        if (folder.size + size > e.max_bytes &&
            std::chrono::steady_clock::now() - folder.scanned >= rescan_interval) {
            flush();
            if (!Scan(e.dir, folder, false, error)) {
                Lose(folder, p, false, error);
                p.state = Pending::done;
                continue;
            }
        }
        if (folder.size + size > e.max_bytes) {
            Lose(folder, p, true, 0);
            p.state = Pending::done;
            continue;
        }

        std::string temporary = "." + p.name + ".tmp";
        Fd fd(openat(dir_fd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd.Get() < 0) {
            Lose(folder, p, false, errno);
            p.state = Pending::done;
            continue;
        }
        p.state = Pending::written;
        const bool ok = WriteAll(fd.Get(), reinterpret_cast<const uint8_t *>(head.data()), head.size()) &&
            WriteAll(fd.Get(), e.payload->data.get(), e.payload->length);
        if (!ok) {
            error = errno;
            unlinkat(dir_fd, temporary.c_str(), 0);
            Lose(folder, p, false, error);
            p.state = Pending::done;
            continue;
        }
        folder.size += size;
        // Ends an episode here, in the order the payloads came: at the flush,
        // later payloads of the batch may have started a new one already.
        Recovered(folder, p);
        unflushed.push_back({ &p, &folder, dir_fd, std::move(fd), std::move(temporary), size });
        if (unflushed.size() >= flush_together) flush();
    }
    flush();
    // The names reach the disk once per folder for the whole batch.
    for (const int fd : renamed_in) fsync(fd);
}

void htsSpool::MoveAside(int dir_fd, const std::string &dir, Folder &folder, const std::string &name,
    const std::string &why)
{
    struct stat st;
    const uint64_t size =
        (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) ? static_cast<uint64_t>(st.st_size) : 0;
    const std::string aside = htsMoveSpoolFileAside(dir_fd, name);
    if (aside.empty()) {
        char buffer[256];
        vx_printf("%s: spool %s: cannot move aside %s (%s): %s\n", tag.c_str(), dir.c_str(), name.c_str(),
            why.c_str(), strerror_r(errno, buffer, sizeof(buffer)));
        return;
    }
    vx_printf("%s: spool %s: %s moved aside as %s: %s\n", tag.c_str(), dir.c_str(), name.c_str(), aside.c_str(),
        why.c_str());
    folder.size = (folder.size > size) ? folder.size - size : 0;
    const std::optional<htsSpoolIndex::File> known = folder.known.Erase(name);
    std::lock_guard<std::mutex> guard(figures_lock);
    if (!known) {
        figures.broken_unknown++;
        return;
    }
    htsSpoolFigures &f = figures.channels[known->channel];
    f.broken++;
    Less(f.files, 1);
    Less(f.bytes, known->size);
    if (known->rejected) Less(f.rejected, 1);
}

htsSpoolReadResult htsSpool::DoRead(const htsSpoolRead &request)
{
    htsSpoolReadResult result;
    result.channel = request.channel;
    int error = 0;
    Folder &folder = Use(request.dir, error);
    Fd dir_fd(open(request.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (error != 0 || dir_fd.Get() < 0) return result;

    std::set<std::string> taken;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (const auto &[handle, o] : outstanding)
            if (o.dir == request.dir) taken.insert(o.name);
    }

    uint64_t bytes = 0;
    const auto visit = [&](const std::string &name) {
        if (result.payloads.size() >= request.max_payloads) return false;
        if (taken.count(name) != 0) return true;
        std::optional<htsSpoolIndex::File> known = folder.known.Find(name);
        if (!known) {
            htsSpoolHead head;
            uint64_t size = 0;
            std::string why;
            if (!htsReadSpoolHead(dir_fd.Get(), name, head, size, why)) {
                MoveAside(dir_fd.Get(), request.dir, folder, name, why);
                return true;
            }
            // Found at first use and not counted yet, or written by someone
            // else: counted from now on. Once the index could not take
            // every file, one it does not hold is taken for one this spool
            // wrote (and counted then).
            const bool count = folder.unattributed.Take(name) || !folder.unindexed;
            known = htsSpoolIndex::File{ head.channel, head.rejected, size };
            if (!folder.known.Set(name, *known)) folder.unindexed = true;
            if (count) CountFound(head.channel, size, head.rejected);
        }
        const htsSpoolIndex::File &k = *known;
        if (k.channel != request.channel || (k.rejected && !request.rejected_too)) return true;
        if (!result.payloads.empty() && bytes + k.size > request.max_bytes) return false;

        htsSpoolHead head;
        std::unique_ptr<uint8_t[]> body;
        std::string why;
        if (!htsReadSpoolFile(dir_fd.Get(), name, head, body, why)) {
            if (errno == ENOENT) {
                folder.known.Erase(name); // deleted by someone else meanwhile
                return true;
            }
            MoveAside(dir_fd.Get(), request.dir, folder, name, why);
            return true;
        }
        htsSpooled s;
        s.payload = std::make_shared<vxPluginSinkPayload>(static_cast<size_t>(head.length), std::move(body),
            std::set<std::string>{ head.channel }, vxFlags<vxPlugin::DispatchFlags>(head.flags));
        s.handle = request.dir + "/" + name;
        s.id = head.id;
        s.error = head.error;
        s.rejected = head.rejected;
        s.when_ms = head.when_ms;
        bytes += k.size;
        {
            std::lock_guard<std::mutex> guard(lock);
            outstanding[s.handle] = { k.channel, request.dir, name, k.size, k.rejected };
        }
        result.payloads.push_back(std::move(s));
        return true;
    };

    // The folder is listed a window of its oldest names at a time, so that
    // a read holds a few hundred KiB of names however many files there are;
    // a read that passes a whole window (other channels' files, say) lists
    // the next.
    std::string after;
    for (;;) {
        std::priority_queue<std::string> window; // the latest on top
        bool more = false;
        {
            DIR *d = fdopendir(dup(dir_fd.Get()));
            if (d == nullptr) return result;
            std::unique_ptr<DIR, int (*)(DIR *)> closer(d, closedir);
            // The copy shares its position with the last listing's.
            rewinddir(d);
            while (dirent *e = readdir(d)) {
                if (e->d_name[0] == '.' || !EndsWith(e->d_name, ".spool")) continue;
                std::string name = e->d_name;
                if (!after.empty() && name <= after) continue;
                if (window.size() < listing_window) {
                    window.push(std::move(name));
                    continue;
                }
                more = true;
                if (name < window.top()) {
                    window.pop();
                    window.push(std::move(name));
                }
            }
        }
        std::vector<std::string> names;
        names.reserve(window.size());
        for (; !window.empty(); window.pop()) names.push_back(window.top());
        std::reverse(names.begin(), names.end());
        for (const std::string &name : names)
            if (!visit(name)) return result;
        if (!more || names.empty()) return result;
        after = names.back();
    }
}

void htsSpool::DoDelete(const std::string &handle)
{
    Outstanding o;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = outstanding.find(handle);
        if (it == outstanding.end()) return;
        o = std::move(it->second);
        outstanding.erase(it);
    }
    if (unlink(handle.c_str()) != 0 && errno != ENOENT) {
        char buffer[256];
        vx_printf("%s: %s: cannot delete %s: %s\n", tag.c_str(), htsEscapeControl(o.channel).c_str(), handle.c_str(),
            strerror_r(errno, buffer, sizeof(buffer)));
        return;
    }
    Folder &folder = folders[o.dir];
    folder.size = (folder.size > o.size) ? folder.size - o.size : 0;
    folder.known.Erase(o.name);
    const bool rejected = o.rejected;
    const uint64_t size = o.size;
    Count(o.channel, [size, rejected](htsSpoolFigures &f) {
        f.drained++;
        Less(f.files, 1);
        Less(f.bytes, size);
        if (rejected) Less(f.rejected, 1);
    });
}
