#pragma once

#include <functional>

class QObject;

// From now on, SIGINT and SIGTERM are caught and kept for OnTerminationSignal
// instead of ending the process. False when the signal pipe cannot be made.
bool CatchTerminationSignals();

// Runs `handler` once on the event loop of `context`'s thread when the process
// receives SIGINT or SIGTERM (also one caught before this call), so a program
// ends the way its user would end it (Stop, or closing the window) instead of
// being cut off. False when the signal pipe cannot be made.
bool OnTerminationSignal(QObject* context, std::function<void()> handler);
