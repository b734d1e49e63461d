#pragma once

#include <functional>

class QObject;

// Runs `handler` once on the event loop of `context`'s thread when the process
// receives SIGINT or SIGTERM, so a program ends the way its user would end it
// (Stop, or closing the window) instead of being cut off. False when the
// signal pipe cannot be made.
bool OnTerminationSignal(QObject* context, std::function<void()> handler);
