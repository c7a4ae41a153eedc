// The spool on its own, on real files in a temporary folder: what a crash
// leaves behind, full and unwritable folders, a writer that runs out of
// memory, a stop that hands over more than the queue holds, the size kept
// without rescanning, and the read-back an engine drains the spool with.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "delivery/spool.h"
#include "delivery/spool_file.h"
#include "failing_allocator.h"
#include "test_support.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Names in the folder, sorted.
std::vector<std::string> Names(const fs::path &dir)
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

htsSpoolEntry Entry(const fs::path &dir, const std::string &channel, const std::string &body,
    uint64_t max_bytes = uint64_t{ 1 } << 30)
{
    htsSpoolEntry e;
    e.payload = vxtest::MakePayload(body, vxPlugin::FORMAT_JSON, { channel });
    e.channel = channel;
    e.url = "http://127.0.0.1:1/" + channel;
    e.dir = dir.string();
    e.max_bytes = max_bytes;
    e.error = "HTTP: 503";
    return e;
}

// A file as the writer makes it.
std::string SpoolText(const std::string &channel, const std::string &body)
{
    htsSpoolHead h;
    h.channel = channel;
    h.flags = vxPlugin::FORMAT_JSON;
    h.when_ms = 1;
    h.length = body.size();
    return htsSpoolHeadLine(h) + body;
}

// Collects the read answers the spool's thread hands back.
struct Reader {
    std::mutex lock;
    std::condition_variable cond;
    bool woken = false;

    explicit Reader(htsSpool &spool)
    {
        spool.SetWake([this] {
            std::lock_guard<std::mutex> guard(lock);
            woken = true;
            cond.notify_all();
        });
    }

    // Asks once and waits (bounded) for the answer.
    std::vector<htsSpooled> Read(htsSpool &spool, htsSpoolRead request)
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            woken = false;
        }
        spool.Read(std::move(request));
        std::unique_lock<std::mutex> guard(lock);
        EXPECT_TRUE(cond.wait_for(guard, 20s, [this] { return woken; }));
        guard.unlock();
        std::vector<htsSpoolReadResult> results = spool.TakeReadResults();
        EXPECT_EQ(results.size(), 1u);
        return results.empty() ? std::vector<htsSpooled>{} : std::move(results[0].payloads);
    }
};

std::string Body(const htsSpooled &s)
{
    return std::string(reinterpret_cast<const char *>(s.payload->data.get()), s.payload->length);
}

// A kill leaves hidden temporary files: whole ones get their final names, the
// rest is moved aside under a name that says so, and each is reported.
struct LeftoverCase {
    const char *name;
    std::string text;
    bool whole;
};

void PrintTo(const LeftoverCase &c, std::ostream *out) { *out << c.name; }

class SpoolLeftovers : public testing::TestWithParam<LeftoverCase> { };

TEST_P(SpoolLeftovers, RecoveredOrMovedAside)
{
    const LeftoverCase &c = GetParam();
    const std::string base = "00000000000000000001-0000000001.spool";
    for (const bool through_writer : { false, true }) {
        SCOPED_TRACE(through_writer ? "first use by the writer" : "recovery function");
        vxtest::TempDir dir;
        dir.Write("." + base + ".tmp", c.text);
        vxtest::LogCapture log;
        if (through_writer) {
            htsSpool spool("t");
            Reader reader(spool);
            EXPECT_TRUE(spool.Put(Entry(dir.Path(), "a", "new")));
            spool.Finish();
            // The recovered file reads back first, like any other.
            const std::vector<htsSpooled> got = reader.Read(spool, { "a", dir.Path().string() });
            ASSERT_EQ(got.size(), c.whole ? 2u : 1u);
            EXPECT_EQ(Body(got[0]), c.whole ? c.text.substr(c.text.find('\n') + 1) : "new");
            spool.Finish();
            const htsSpoolSnapshot s = spool.Snapshot();
            // The recovered file counts for its channel like any other.
            EXPECT_EQ(s.channels.at("a").files, c.whole ? 2u : 1u);
            EXPECT_EQ(s.broken_unknown, c.whole ? 0u : 1u);
        }
        else {
            const htsSpoolRecovery r = htsRecoverSpoolFolder(dir.Path().string());
            EXPECT_EQ(r.recovered, c.whole ? 1u : 0u);
            EXPECT_EQ(r.broken, c.whole ? 0u : 1u);
            ASSERT_EQ(r.lines.size(), c.whole ? 0u : 1u);
            // The caller logs the lines.
            for (const std::string &line : r.lines) vx_printf("t: %s\n", line.c_str());
        }
        const std::vector<std::string> names = Names(dir.Path());
        EXPECT_EQ(std::count(names.begin(), names.end(), base), c.whole ? 1 : 0) << testing::PrintToString(names);
        EXPECT_EQ(std::count(names.begin(), names.end(), base + ".broken"), c.whole ? 0 : 1);
        for (const std::string &n : names) EXPECT_NE(n[0], '.') << n;
        if (c.whole) {
            EXPECT_EQ(ReadFile(dir.Path() / base), c.text);
        }
        EXPECT_EQ(log.Count("." + base + ".tmp moved aside as " + base + ".broken: "), c.whole ? 0u : 1u)
            << log.Text();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SpoolLeftovers,
    testing::Values(LeftoverCase{ "whole", SpoolText("a", "{\"x\":1}"), true },
        LeftoverCase{ "empty_body", SpoolText("a", ""), true },
        LeftoverCase{ "short_body", SpoolText("a", "{\"x\":1}").substr(0, SpoolText("a", "{\"x\":1}").size() - 2),
            false },
        LeftoverCase{ "long_body", SpoolText("a", "{\"x\":1}") + "zz", false },
        LeftoverCase{ "no_head_line", "{\"channel\":\"a\",\"fla", false }, LeftoverCase{ "empty", "", false },
        LeftoverCase{ "not_json", "garbage\nbody", false },
        LeftoverCase{ "no_length", "{\"channel\":\"a\",\"flags\":1}\n", false }),
    [](const testing::TestParamInfo<LeftoverCase> &i) { return std::string(i.param.name); });

// A full or unwritable folder loses each payload with a count, logs once per
// episode, and logs the end of the episode once room is back.
struct LossCase {
    const char *name;
    bool full;
};

void PrintTo(const LossCase &c, std::ostream *out) { *out << c.name; }

class SpoolLoss : public testing::TestWithParam<LossCase> { };

TEST_P(SpoolLoss, CountedAndLoggedOncePerEpisode)
{
    const bool full = GetParam().full;
    vxtest::TempDir tmp;
    const fs::path dir = full ? tmp.Path() : tmp.Path() / "file" / "sub";
    if (!full) tmp.Write("file", "x");
    const uint64_t bound = full ? SpoolText("a", "0123456789").size() + 60 : uint64_t{ 1 } << 30;
    vxtest::LogCapture log;
    htsSpool spool("t");
    spool.rescan_interval = 0ms;
    for (int i = 0; i < 2; i++) {
        for (int n = 0; n < 5; n++) EXPECT_TRUE(spool.Put(Entry(dir, "a", "0123456789", bound)));
        spool.Finish();
    }
    const htsSpoolFigures f = spool.Snapshot().channels.at("a");
    EXPECT_EQ(f.spooled, full ? 1u : 0u);
    EXPECT_EQ(full ? f.lost_full : f.lost_unwritable, full ? 9u : 10u);
    EXPECT_EQ(full ? f.lost_unwritable : f.lost_full, 0u);
    EXPECT_EQ(log.Count("t: a: http://127.0.0.1:1/a: spool full, dropping payloads\n"), full ? 1u : 0u) << log.Text();
    EXPECT_EQ(log.Count("t: a: cannot write spool " + dir.string() + ": "), full ? 0u : 1u) << log.Text();

    // Room again (a replay emptied the folder): the episode ends once.
    if (full) {
        for (const std::string &n : Names(dir)) fs::remove(dir / n);
    }
    else {
        fs::remove(tmp.Path() / "file");
        fs::create_directories(dir);
    }
    EXPECT_TRUE(spool.Put(Entry(dir, "a", "0123456789", bound)));
    spool.Finish();
    EXPECT_EQ(log.Count("t: a: spool " + dir.string() + " accepting again, " + (full ? "9" : "10") +
                  " payloads dropped\n"),
        1u)
        << log.Text();
    EXPECT_EQ(Names(dir).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, SpoolLoss, testing::Values(LossCase{ "full", true }, LossCase{ "unwritable", false }),
    [](const testing::TestParamInfo<LossCase> &i) { return std::string(i.param.name); });

// An allocation failure on the writer's thread loses the batch under way,
// counted and logged, and the writer goes on with the next one.
TEST(Spool, WriterFailureIsCaughtAndCounted)
{
    if (!vxtest::AllocationFailuresAvailable()) GTEST_SKIP() << "allocation failures left out of this build";
    vxtest::TempDir dir;
    vxtest::LogCapture log;
    htsSpool spool("t");
    // The wake-up runs on the spool's thread: the only way in from outside.
    bool arm = true;
    std::mutex lock;
    std::condition_variable cond;
    bool woken = false;
    spool.SetWake([&] {
        if (arm) vxtest::FailAllocation(1);
        arm = false;
        std::lock_guard<std::mutex> guard(lock);
        woken = true;
        cond.notify_all();
    });
    spool.Read({ "a", dir.Path().string() });
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(cond.wait_for(guard, 20s, [&] { return woken; }));
    }
    for (int n = 0; n < 3; n++) EXPECT_TRUE(spool.Put(Entry(dir.Path(), "a", "body")));
    spool.Finish();
    htsSpoolFigures f = spool.Snapshot().channels.at("a");
    EXPECT_GE(f.lost_writer, 1u);
    EXPECT_EQ(f.lost_writer + f.spooled, 3u);
    EXPECT_EQ(log.Count("t: spool writer failed: std::bad_alloc, "), 1u) << log.Text();
    EXPECT_EQ(Names(dir.Path()).size(), f.spooled); // nothing half written left

    // The next batch is written as usual.
    EXPECT_TRUE(spool.Put(Entry(dir.Path(), "a", "after")));
    spool.Finish();
    EXPECT_EQ(spool.Snapshot().channels.at("a").spooled, f.spooled + 1);
}

// Past the queue's bound, each mode does what it says: drop logs and counts,
// refuse leaves the entry with the caller, always (a stop) keeps everything.
// The writer is held in its wake-up so that the queue fills for certain.
TEST(Spool, QueueBoundPerMode)
{
    vxtest::TempDir dir;
    vxtest::LogCapture log;
    htsSpool spool("t");
    std::mutex lock;
    std::condition_variable cond;
    bool held = false, release = false;
    spool.SetWake([&] {
        std::unique_lock<std::mutex> guard(lock);
        held = true;
        cond.notify_all();
        cond.wait_for(guard, 60s, [&] { return release; });
    });
    spool.Read({ "a", dir.Path().string() });
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(cond.wait_for(guard, 20s, [&] { return held; }));
    }
    // One 8 MiB body shared by every entry: the bound counts each.
    const auto big = vxtest::MakePayload(std::string(8u << 20, 'x'), vxPlugin::FORMAT_JSON, { "a" });
    const uint64_t per_queue = htsSpool::queue_bytes_max / big->length;
    auto entry = [&] {
        htsSpoolEntry e = Entry(dir.Path(), "a", "", 1000); // a full folder: nothing large is written
        e.payload = big;
        return e;
    };
    for (uint64_t n = 0; n < per_queue; n++) ASSERT_TRUE(spool.Put(entry(), htsSpoolPut::refuse));
    EXPECT_TRUE(spool.Behind());

    htsSpoolEntry kept = entry();
    EXPECT_FALSE(spool.Put(std::move(kept), htsSpoolPut::refuse));
    EXPECT_EQ(kept.payload, big); // still the caller's
    EXPECT_EQ(log.Count("spool behind"), 0u);

    EXPECT_FALSE(spool.Put(entry(), htsSpoolPut::drop));
    EXPECT_FALSE(spool.Put(entry(), htsSpoolPut::drop));
    EXPECT_EQ(log.Count("t: a: http://127.0.0.1:1/a: spool behind, dropping payloads\n"), 1u) << log.Text();

    // A stop hands over twice what the queue holds; none of it is dropped.
    for (uint64_t n = 0; n < 2 * per_queue; n++) EXPECT_TRUE(spool.Put(entry(), htsSpoolPut::always));
    {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
    }
    cond.notify_all();
    spool.Finish();
    const htsSpoolFigures f = spool.Snapshot().channels.at("a");
    EXPECT_EQ(f.lost_behind, 2u);
    EXPECT_EQ(f.lost_full, 3 * per_queue);
    EXPECT_EQ(log.Count("spool behind"), 1u);
}

// A full folder of many files is counted once, not once per payload: a stop
// that hands a full spool many payloads does not read the folder for each.
TEST(Spool, FullFolderIsNotRescannedPerPayload)
{
    constexpr int files = 20000, puts = 20000;
    vxtest::TempDir dir;
    const std::string text = SpoolText("a", "{}");
    for (int n = 0; n < files; n++) {
        char name[64];
        snprintf(name, sizeof(name), "%020d-%010d.spool", 1, n);
        std::ofstream(dir.Path() / name, std::ios::binary) << text;
    }
    vxtest::LogCapture log;
    htsSpool spool("t");
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < puts; n++)
        EXPECT_TRUE(spool.Put(Entry(dir.Path(), "a", "{}", uint64_t{ files } * text.size()), htsSpoolPut::always));
    spool.Finish();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    const htsSpoolSnapshot s = spool.Snapshot();
    // The first use, plus one for each rescan interval the run may take on
    // a loaded machine.
    EXPECT_LE(s.scans, 1u + static_cast<unsigned long long>(took / spool.rescan_interval)) << took.count() << " ms";
    EXPECT_EQ(s.channels.at("a").lost_full, static_cast<unsigned long long>(puts));
    EXPECT_EQ(log.Count("spool full, dropping payloads"), 1u);
    RecordProperty("stop_ms", static_cast<int>(took.count()));
    printf("%d files, %d payloads to a full spool: %lld ms, %llu scans\n", files, puts,
        static_cast<long long>(took.count()), s.scans);

    // The files found are counted for their channel while the thread is
    // otherwise idle, without another scan.
    EXPECT_TRUE(spool.Put(Entry(dir.Path(), "a", "{}", 1))); // starts the thread again
    EXPECT_TRUE(vxtest::WaitUntil(
        [&] { return spool.Snapshot().channels.at("a").files == static_cast<unsigned long long>(files); }, 60s))
        << spool.Snapshot().channels.at("a").files;
    spool.Finish();
    EXPECT_EQ(spool.Snapshot().scans, s.scans);
}

// How many files the spool keeps in its index and lists at a time: all of
// them, or fewer than the folder holds, so that reads and counts go by the
// files' heads and a read lists the folder window after window.
class SpoolReadBack : public testing::TestWithParam<size_t> { };

// The read-back: a channel's oldest payloads first, only its own, rejected
// ones only on request, each handed out once until released, deleted once
// delivered; a file that does not parse is moved aside. The figures come out
// the same whether the index holds every file or not.
TEST_P(SpoolReadBack, OldestFirstPerChannel)
{
    vxtest::TempDir dir;
    // A file from before "id" and "rejected" existed, written by hand, is
    // the oldest.
    const std::string old_name = "00000000000000000001-0000000000.spool";
    dir.Write(old_name, "{\"channel\":\"a\",\"error\":\"x\",\"flags\":2,\"length\":3,\"when\":5}\nold");
    dir.Write("00000000000000000002-0000000000.spool", "not a spool file");
    vxtest::LogCapture log;
    htsSpool spool("t");
    spool.index_capacity = GetParam();
    spool.listing_window = GetParam();
    Reader reader(spool);
    for (int n = 0; n < 4; n++) {
        htsSpoolEntry a = Entry(dir.Path(), "a", "a" + std::to_string(n));
        a.id = "id-" + std::to_string(n);
        a.rejected = (n == 1);
        EXPECT_TRUE(spool.Put(std::move(a)));
        EXPECT_TRUE(spool.Put(Entry(dir.Path(), "b", "b" + std::to_string(n))));
    }
    spool.Finish();
    const std::string where = dir.Path().string();

    std::vector<htsSpooled> got = reader.Read(spool, { "a", where, 3 });
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(Body(got[0]), "old");
    EXPECT_EQ(got[0].payload->flags.Bits(), 2u);
    EXPECT_EQ(got[0].payload->channel_names, std::set<std::string>{ "a" });
    EXPECT_EQ(got[0].id, "");
    EXPECT_EQ(got[0].handle, where + "/" + old_name);
    EXPECT_EQ(Body(got[1]), "a0");
    EXPECT_EQ(got[1].id, "id-0");
    EXPECT_EQ(got[1].error, "HTTP: 503");
    EXPECT_EQ(got[1].payload->flags.Bits(), static_cast<uint32_t>(vxPlugin::FORMAT_JSON));
    EXPECT_EQ(Body(got[2]), "a2"); // a1 was rejected
    EXPECT_EQ(log.Count("t: spool " + where + ": 00000000000000000002-0000000000.spool moved aside as "
                        "00000000000000000002-0000000000.spool.broken: "),
        1u)
        << log.Text();

    // What is handed out is not handed out again; the rest follows.
    std::vector<htsSpooled> rest = reader.Read(spool, { "a", where, 10 });
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(Body(rest[0]), "a3");
    EXPECT_TRUE(reader.Read(spool, { "a", where }).empty());

    // Delivered ones go; a released one comes back; rejected only on request.
    spool.Delivered(got[0].handle);
    spool.Delivered(got[1].handle);
    spool.Released(got[2].handle);
    std::vector<htsSpooled> again = reader.Read(spool, { "a", where, 10, uint64_t{ 1 } << 20, true });
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(Body(again[0]), "a1");
    EXPECT_TRUE(again[0].rejected);
    EXPECT_EQ(Body(again[1]), "a2");
    EXPECT_FALSE(fs::exists(got[0].handle));
    EXPECT_FALSE(fs::exists(got[1].handle));

    // A byte bound stops the read, though never before the first payload.
    std::vector<htsSpooled> b = reader.Read(spool, { "b", where, 10, 1 });
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(Body(b[0]), "b0");

    spool.Finish();
    const htsSpoolSnapshot s = spool.Snapshot();
    EXPECT_EQ(s.channels.at("a").drained, 2u);
    EXPECT_EQ(s.channels.at("a").files, 3u);
    EXPECT_EQ(s.channels.at("b").files, 4u);
    EXPECT_EQ(s.broken_unknown, 1u);

    // A new spool on the folder (a restart) counts what is there and drains
    // it to the last file, whatever its index holds.
    htsSpool next("t");
    next.index_capacity = GetParam();
    next.listing_window = GetParam();
    Reader next_reader(next);
    for (const char *channel : { "a", "b" }) {
        for (int round = 0; round < 10; round++) {
            std::vector<htsSpooled> batch = next_reader.Read(next, { channel, where, 2, uint64_t{ 1 } << 20, true });
            if (batch.empty()) break;
            for (const htsSpooled &spooled : batch) next.Delivered(spooled.handle);
        }
    }
    next.Finish();
    const htsSpoolSnapshot n = next.Snapshot();
    for (const char *channel : { "a", "b" }) {
        SCOPED_TRACE(channel);
        EXPECT_EQ(n.channels.at(channel).files, 0u);
        EXPECT_EQ(n.channels.at(channel).bytes, 0u);
        EXPECT_EQ(n.channels.at(channel).rejected, 0u);
    }
    EXPECT_EQ(n.channels.at("a").drained, 3u);
    EXPECT_EQ(n.channels.at("b").drained, 4u);
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{ "00000000000000000002-0000000000.spool.broken" });
}

INSTANTIATE_TEST_SUITE_P(IndexCapacity, SpoolReadBack, testing::Values(htsSpoolIndex::default_capacity, size_t{ 2 }),
    [](const auto &info) { return info.param == 2 ? std::string("two_files") : std::string("every_file"); });

TEST(Spool, FilesArePrivate)
{
    vxtest::TempDir tmp;
    const fs::path dir = tmp.Path() / "x" / "y" / "spool";
    std::string error;
    ASSERT_TRUE(htsMakeSpoolFolder(dir.string(), error)) << error;
    for (const fs::path &p : { tmp.Path() / "x", tmp.Path() / "x" / "y", dir }) {
        struct stat st;
        ASSERT_EQ(stat(p.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u) << p;
    }
    EXPECT_TRUE(htsMakeSpoolFolder(dir.string(), error)) << error; // already there

    htsSpool spool("t");
    EXPECT_TRUE(spool.Put(Entry(dir, "a", "body")));
    spool.Finish();
    for (const std::string &n : Names(dir)) {
        struct stat st;
        ASSERT_EQ(stat((dir / n).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << n;
    }

    tmp.Write("file", "x");
    EXPECT_FALSE(htsMakeSpoolFolder((tmp.Path() / "file" / "sub").string(), error));
    EXPECT_EQ(error.rfind("cannot make spool folder " + (tmp.Path() / "file" / "sub").string() + ": ", 0), 0u) << error;
    EXPECT_FALSE(htsMakeSpoolFolder("", error));
}

} // namespace
