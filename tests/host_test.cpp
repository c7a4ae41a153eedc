// The agent library stand-in: what the plug-in relies on must hold exactly.
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.h"
#include "vxexception.h"
#include "vxplugin.h"
#include "vxplugin_loader.h"
#include "vxutils.h"

using namespace std::chrono_literals;

namespace {

struct ExpansionCase {
    const char *name;
    std::string in;
    std::map<std::string, std::string> vars;
    std::string expected;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const ExpansionCase &c, std::ostream *os) { *os << c.name; }


class ExpansionTest : public testing::TestWithParam<ExpansionCase> { };

TEST_P(ExpansionTest, ExpandsInOnePass)
{
    auto c = GetParam();
    std::string out = "stale";
    vx_expand_variables(c.in, out, c.vars);
    EXPECT_EQ(out, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Host, ExpansionTest,
    testing::Values(
        ExpansionCase{ "no_vars", "http://a/${x}", {}, "http://a/${x}" },
        ExpansionCase{ "every_occurrence", "${a}-${a}-${b}", { { "${a}", "1" }, { "${b}", "2" } }, "1-1-2" },
        ExpansionCase{ "value_holds_own_key", "<${a}>", { { "${a}", "${a}${a}" } }, "<${a}${a}>" },
        ExpansionCase{ "value_holds_other_key", "${a}", { { "${a}", "${b}" }, { "${b}", "x" } }, "${b}" },
        ExpansionCase{ "longer_key_wins", "${ab}", { { "${a", "1" }, { "${ab}", "2" } }, "2" },
        ExpansionCase{ "empty_value", "x${a}y", { { "${a}", "" } }, "xy" },
        ExpansionCase{ "empty_key_ignored", "abc", { { "", "!" } }, "abc" },
        ExpansionCase{ "empty_input", "", { { "${a}", "1" } }, "" },
        ExpansionCase{ "unterminated", "${a", { { "${a}", "1" } }, "${a" }),
    [](const auto &info) { return std::string(info.param.name); });

// A minimal sink that exposes the queue calls its subclasses use. With
// `works`, its thread waits on the queue until asked to stop, as a plug-in's
// worker does.
class TestSink : public vxPluginSink
{
public:
    explicit TestSink(bool works = false) : vxPluginSink("test", {}), works(works) { }
    ~TestSink() override { Join(); }
    void *Entry() override
    {
        while (works && !terminate.load()) WaitOnPayloadQueue(1);
        return nullptr;
    }
    void GetLibrary(std::string &) override { }
    void GetName(std::string &) override { }
    void GetVersion(std::string &) override { }
    void GetStatus(nlohmann::json &) override { }
    void DisplayStatus(const nlohmann::json &) override { }
    void DispatchEvent(Event, void *) override { }

    using vxPluginSink::PopPayloadQueue;
    using vxPluginSink::WaitOnPayloadQueue;

private:
    const bool works;
};

TEST(HostQueue, WaitIsBoundedAndFifo)
{
    TestSink sink;

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sink.WaitOnPayloadQueue(1), 0u);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 3s);

    sink.QueuePayload(vxtest::MakePayload("one"));
    sink.QueuePayload(vxtest::MakePayload("two"));
    EXPECT_EQ(sink.WaitOnPayloadQueue(1), 2u);

    std::shared_ptr<vxPluginSinkPayload> p;
    ASSERT_TRUE(sink.PopPayloadQueue(p));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(p->data.get()), p->length), "one");
    ASSERT_TRUE(sink.PopPayloadQueue(p));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(p->data.get()), p->length), "two");
    EXPECT_FALSE(sink.PopPayloadQueue(p));
}

TEST(HostQueue, WaitEndsEarlyOnTerminate)
{
    TestSink sink;
    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        sink.Terminate();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sink.WaitOnPayloadQueue(1), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    stopper.join();

    // Already set: no wait at all.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(sink.WaitOnPayloadQueue(1), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
}

// The agent's owner of an instance asks it to stop before deleting it: the
// destructor joins the thread, which would otherwise wait for ever.
TEST(HostPluginOwner, StopsTheThreadBeforeDeleting)
{
    vxPluginSinkOwner owner(std::make_unique<TestSink>(true).release());
    vxPluginSink *sink = owner.get();
    owner->Create();

    auto deleted = std::async(std::launch::async, [&] { owner.reset(); });
    if (deleted.wait_for(5s) != std::future_status::ready) {
        ADD_FAILURE() << "deleting the owned instance did not return";
        sink->Terminate(); // unblock the join so the test can end
    }
    deleted.get();
}

class ThrowingThread : public vxThread
{
public:
    ThrowingThread() : vxThread("thrower") { }
    ~ThrowingThread() override { Join(); }
    void *Entry() override { throw vxException("%s: broke after %d steps", "thrower", 3); }
};

TEST(HostThread, EscapingExceptionEndsOnlyTheThread)
{
    vxtest::LogCapture log;
    ThrowingThread thread;
    thread.Join(); // nothing started yet: returns at once
    thread.Create();
    thread.Join();
    EXPECT_EQ(log.Count("thrower: broke after 3 steps"), 1u);
}

TEST(HostConfig, InstanceAndIdentifiers)
{
    try {
        vxGlobalConfig::GetInstance();
        FAIL() << "no instance must throw";
    }
    catch (const vxException &e) {
        EXPECT_STREQ(e.what(),
            "static vxGlobalConfig &vxGlobalConfig::GetInstance(): instance not found");
    }

    vxtest::GlobalConfigScope scope;
    EXPECT_EQ(&vxGlobalConfig::GetInstance(), &scope.config);

    std::string uuid = "old";
    EXPECT_FALSE(scope.config.LoadUUID(UUID_SITE, uuid));
    EXPECT_EQ(uuid, "");
    scope.config.SetUUID(UUID_SITE, "SITE-1\n");
    EXPECT_TRUE(scope.config.LoadUUID(UUID_SITE, uuid));
    EXPECT_EQ(uuid, "SITE-1\n");
}

TEST(HostLog, WholeLinesAndDebugSwitch)
{
    vxtest::LogCapture log(false);
    vx_dprintf("hidden %d\n", 1);
    vx_printf("shown %s", "no newline");
    EXPECT_EQ(log.Lines(), std::vector<std::string>{ "shown no newline" });

    log.Clear();
    vx_log_set_debug(true);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; t++) {
        writers.emplace_back([t] {
            for (int i = 0; i < 200; i++) vx_dprintf("writer %d line %d end\n", t, i);
        });
    }
    for (auto &w : writers) w.join();
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 800u);
    for (const auto &line : lines) {
        EXPECT_EQ(line.rfind("writer ", 0), 0u) << line;
        EXPECT_EQ(line.substr(line.size() - 5), " end\n") << line;
    }
}

TEST(HostException, FormatsLongMessages)
{
    std::string big(10000, 'x');
    vxException e("%s: %s", "tag", big.c_str());
    EXPECT_EQ(std::string(e.what()), "tag: " + big);
}

} // namespace
