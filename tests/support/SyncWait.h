#pragma once

#include "TThread.h"

#include <chrono>
#include <functional>
#include <thread>

// Polls `done` until it holds or the bound passes, serving the calls that
// workers hand to this (the UI) thread meanwhile. Never sleeps.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::seconds bound = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}
