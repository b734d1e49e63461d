#include "TerminationSignal.h"

#include <QSocketNotifier>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

int SignalPipe[2] = {-1, -1};

extern "C" void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(SignalPipe[1], &byte, 1);
}

} // namespace

bool CatchTerminationSignals() {
    if (SignalPipe[0] < 0 && pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    return true;
}

bool OnTerminationSignal(QObject* context, std::function<void()> handler) {
    if (!CatchTerminationSignals())
        return false;
    auto* notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context,
                     [notifier, handler = std::move(handler)] {
                         notifier->setEnabled(false);
                         handler();
                     });
    return true;
}
