#include "TThread.h"
#include "KavroTest.h"
#include "SyncWait.h"

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
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

// A subclass that leaves the wait to its owner, or forgets it.
class UnwaitedThread : public TThread {
public:
    std::function<void()> Body;

protected:
    void Execute() override {
        if (Body)
            Body();
    }
};

// A job started from a thread other than the UI thread hands a call to the UI
// thread both ways, and the event loop alone serves them; the starter waits
// for the job only afterwards.
bool JobStartedElsewhereReachesTheEventLoop() {
    std::atomic<bool> posted{false};
    std::atomic<bool> synchronized{false};
    ScriptedThread job;
    job.Body = [&] {
        TThread::PostToUiThread([&] { posted.store(true); });
        ScriptedThread::Synchronize([&] { synchronized.store(true); });
    };
    std::atomic<bool> release{false};
    std::thread starter([&] {
        job.Start();
        while (!release.load())
            std::this_thread::yield();
        job.WaitFor();
    });
    const bool served = WaitUntil(
        [&] {
            QCoreApplication::processEvents();
            return posted.load() && synchronized.load();
        },
        std::chrono::seconds(10));
    // A call the event loop missed is served here, so the process ends cleanly either way.
    release.store(true);
    while (!job.Finished())
        TThread::ServeSynchronizeCalls();
    starter.join();
    return served;
}

// Runs until terminated and keeps no members of its own, so that only the
// base class decides what happens when it is destroyed while running.
std::atomic<bool> LingeringEntered{false};
class LingeringThread : public TThread {
protected:
    void Execute() override {
        LingeringEntered.store(true);
        while (!Terminated())
            std::this_thread::yield();
    }
};

// Destroys a started thread that neither its subclass nor its owner waited for.
void DestroyWithoutWaiting(bool letItFinish) {
    std::unique_ptr<TThread> worker;
    if (letItFinish) {
        worker = std::make_unique<UnwaitedThread>();
        worker->Start();
        WaitUntil([&] { return worker->Finished(); });
    } else {
        worker = std::make_unique<LingeringThread>();
        worker->Start();
        WaitUntil([] { return LingeringEntered.load(); });
    }
    worker.reset();
}

} // namespace

// In a process of its own, so that no thread was ever started from the UI thread.
TEST(TThreadDeathTest, AJobStartedOffTheUiThreadReachesTheEventLoop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(JobStartedElsewhereReachesTheEventLoop() ? 0 : 1),
                testing::ExitedWithCode(0), "");
}

// The base destructor runs after the subclass's members are gone, too late to
// wait for an Execute that may use them: a thread not waited for by then is a
// fault in the subclass or its owner, reported at once whatever the timing.
TEST(TThreadDeathTest, DestroyingAThreadNotWaitedForEndsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* name;
        bool letItFinish;
    };
    for (const Case& c : {Case{"still running", false}, Case{"finished", true}}) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(DestroyWithoutWaiting(c.letItFinish),
                     "TThread destroyed before its thread was waited for");
    }
}

TEST(TThread, AThreadItsOwnerWaitedForNeedsNoWaitInTheSubclass) {
    std::atomic<int> runs{0};
    {
        UnwaitedThread worker;
        worker.Body = [&] {
            ++runs;
        };
        worker.Start();
        worker.WaitFor();
    }
    { UnwaitedThread neverStarted; }
    EXPECT_EQ(1, runs.load());
}

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
