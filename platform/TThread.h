#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

// A worker thread in the shape the download job needs: created suspended,
// started by its owner, never self-freeing, stopped by terminate-then-wait.
// Synchronize() runs a call on the UI thread (the thread of the
// QCoreApplication) while the worker waits; the UI thread serves such calls
// from its event loop and also while it waits in WaitFor(), so neither side can
// block the other. Posted events are not delivered during that wait. Workers
// may be started, and calls posted, from any thread: the UI thread's side is
// set up when the application object is constructed.
//
// A started thread must be waited for (WaitFor) before ~TThread runs: by the
// most-derived destructor, which calls Terminate() then WaitFor() while its
// members still exist, or by the owner before it destroys the object. The base
// destructor runs after the subclass's members are destroyed, so it cannot
// wait safely; finding the thread not waited for, it ends the program with a
// message (qFatal), whether or not Execute has returned yet.
class TThread {
public:
    TThread();
    // Ends the program if the thread was started and not waited for; see above.
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Start();
    // Sets the terminate flag; a job may also end what it waits for.
    virtual void Terminate() { FTerminated.store(true); }
    bool Terminated() const { return FTerminated.load(); }
    bool Started() const { return FThread.joinable() || FFinished.load(); }
    bool Finished() const { return FFinished.load(); }
    // Waits for Execute to return; on the UI thread it keeps serving Synchronize calls.
    void WaitFor();

    // UI-thread side of Synchronize: runs the calls queued so far.
    static void ServeSynchronizeCalls();
    static bool SynchronizeCallPending();

    // Queues `call` for the UI thread's event loop and returns at once, from any
    // thread: the stand-in for a posted window message. Unlike Synchronize calls,
    // posted calls are not run during WaitFor.
    static void PostToUiThread(std::function<void()> call);

    // Runs `call` on the UI thread and waits for it; an exception it throws is
    // re-thrown here. On the UI thread itself the call runs directly.
    static void Synchronize(const std::function<void()>& call);

protected:
    virtual void Execute() = 0;

private:
    void Run();

    std::thread FThread;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
};

// Milliseconds from a monotonic clock, wrapping at 2^32 like a system tick counter.
uint32_t GetTickCount();
