#include "TThread.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

#include <sys/eventfd.h>
#include <unistd.h>

namespace {

struct TSyncCall {
    const std::function<void()>* Call;
    std::exception_ptr Error{};
    bool Done = false;
};

// One queue for the whole process: there is one UI thread.
std::mutex QueueMutex;
std::condition_variable QueueChanged;
std::deque<TSyncCall*> Queue;

std::deque<std::function<void()>> Posted;

bool OnUiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Workers wake the UI thread's event loop through an eventfd rather than a
// queued Qt invocation: the hand-over then goes through this file's own mutex
// and a plain write/read, which ThreadSanitizer can follow into Qt-free code.
std::atomic<int> WakeFd{-1};
QPointer<QSocketNotifier> WakeNotifier;

void ServePosted() {
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard lock(QueueMutex);
        calls.swap(Posted);
    }
    for (const auto& call : calls)
        call();
}

// Made on the UI thread when the application object is constructed (see the
// start-up hook below), so that a thread started or a call posted from any
// other thread finds it in place. Touched on the UI thread only.
void EnsureWakeup() {
    if (!OnUiThread() || WakeNotifier)
        return;
    if (WakeFd.load() < 0)
        WakeFd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    WakeNotifier =
        new QSocketNotifier(WakeFd.load(), QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(WakeNotifier, &QSocketNotifier::activated, [] {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t ignored = read(WakeFd.load(), &count, sizeof(count));
        TThread::ServeSynchronizeCalls();
        ServePosted();
    });
}

void WakeUiThread() {
    const int fd = WakeFd.load();
    if (fd < 0)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = write(fd, &one, sizeof(one));
}

} // namespace

// Runs in the constructor of every application object, on its thread: only the
// UI thread can make the notifier, and a worker started from elsewhere has no
// way to ask it to. Start and PostToUiThread on the UI thread make it too, in
// case this code was loaded after the application object, from another thread.
Q_COREAPP_STARTUP_FUNCTION(EnsureWakeup)

TThread::TThread() = default;

TThread::~TThread() {
    // Too late to wait: the subclass's members are gone, and Execute may use them.
    if (FThread.joinable())
        qFatal("TThread destroyed before its thread was waited for: the subclass's destructor "
               "(or the owner) must call Terminate() and WaitFor() first");
}

void TThread::Start() {
    // A second start would replace a running thread, which ends the program.
    if (Started())
        return;
    EnsureWakeup();
    FThread = std::thread(&TThread::Run, this);
}

void TThread::Run() {
    try {
        Execute();
    } catch (...) {
        // Execute reports its own failures; nothing may escape a thread.
    }
    {
        std::lock_guard lock(QueueMutex);
        FFinished.store(true);
    }
    QueueChanged.notify_all();
}

void TThread::WaitFor() {
    if (!FThread.joinable())
        return;
    if (OnUiThread()) {
        std::unique_lock lock(QueueMutex);
        for (;;) {
            QueueChanged.wait(lock, [this] { return !Queue.empty() || FFinished.load(); });
            if (!Queue.empty()) {
                lock.unlock();
                ServeSynchronizeCalls();
                lock.lock();
            } else {
                break;
            }
        }
    }
    FThread.join();
}

void TThread::Synchronize(const std::function<void()>& call) {
    if (OnUiThread() || !QCoreApplication::instance()) {
        call();
        return;
    }
    TSyncCall request{&call};
    {
        std::lock_guard lock(QueueMutex);
        Queue.push_back(&request);
    }
    QueueChanged.notify_all();
    // Wakes the UI thread's event loop; WaitFor serves the queue without it.
    WakeUiThread();
    std::unique_lock lock(QueueMutex);
    QueueChanged.wait(lock, [&request] { return request.Done; });
    if (request.Error)
        std::rethrow_exception(request.Error);
}

void TThread::ServeSynchronizeCalls() {
    // Only the calls queued so far: a call queued while these run waits for the
    // next turn of the event loop (or of WaitFor), so neither spins here forever.
    size_t count = 0;
    {
        std::lock_guard lock(QueueMutex);
        count = Queue.size();
    }
    for (; count > 0; --count) {
        TSyncCall* request = nullptr;
        {
            std::lock_guard lock(QueueMutex);
            if (Queue.empty())
                return;
            request = Queue.front();
            Queue.pop_front();
        }
        try {
            (*request->Call)();
        } catch (...) {
            request->Error = std::current_exception();
        }
        {
            std::lock_guard lock(QueueMutex);
            request->Done = true;
        }
        QueueChanged.notify_all();
    }
}

void TThread::PostToUiThread(std::function<void()> call) {
    EnsureWakeup();
    {
        std::lock_guard lock(QueueMutex);
        Posted.push_back(std::move(call));
    }
    WakeUiThread();
}

bool TThread::SynchronizeCallPending() {
    std::lock_guard lock(QueueMutex);
    return !Queue.empty();
}

uint32_t GetTickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
