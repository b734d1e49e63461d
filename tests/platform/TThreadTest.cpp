#include "TThread.h"
#include "KavroTest.h"
#include "SyncWait.h"

#include <QCoreApplication>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// A worker that runs a script of steps, each recorded as it happens.
class ScriptedThread : public TThread {
public:
    std::function<void()> Body;
    ~ScriptedThread() override { WaitFor(); }

    using TThread::Synchronize;

protected:
    void Execute() override { Body(); }
};

} // namespace

TEST(TThread, AnErrorInASynchronizedCallContinuesInTheWorker) {
    ScriptedThread worker;
    std::string caught;
    worker.Body = [&] {
        try {
            ScriptedThread::Synchronize([] { throw std::runtime_error("from the UI thread"); });
        } catch (const std::runtime_error& error) {
            caught = error.what();
        }
    };
    worker.Start();
    worker.WaitFor();
    EXPECT_EQ("from the UI thread", caught);
}

TEST(TThread, WaitForServesSynchronizedCallsButNotPostedOnes) {
    ScriptedThread worker;
    std::vector<std::string> order; // touched on the UI thread only
    worker.Body = [&] {
        TThread::PostToUiThread([&] { order.push_back("posted"); });
        ScriptedThread::Synchronize([&] { order.push_back("synchronized"); });
    };
    worker.Start();
    worker.WaitFor();
    EXPECT_EQ(std::vector<std::string>{"synchronized"}, order);

    // The event loop delivers the posted call afterwards.
    ASSERT_TRUE(WaitUntil([&] {
        QCoreApplication::processEvents();
        return order.size() == 2;
    }));
    EXPECT_EQ("posted", order.back());
}

TEST(TThread, TheEventLoopServesSynchronizedCallsWithoutAWait) {
    ScriptedThread worker;
    std::atomic<bool> done{false};
    worker.Body = [&] {
        ScriptedThread::Synchronize([] {});
        done.store(true);
    };
    worker.Start();
    ASSERT_TRUE(WaitUntil([&] {
        QCoreApplication::processEvents();
        return done.load();
    }));
    EXPECT_FALSE(TThread::SynchronizeCallPending());
}

TEST(TThread, AStartedThreadIsNotStartedAgain) {
    ScriptedThread worker;
    std::atomic<int> runs{0};
    worker.Body = [&] {
        ++runs;
    };
    worker.Start();
    worker.Start();
    worker.WaitFor();
    worker.Start();
    EXPECT_EQ(1, runs.load());
}
