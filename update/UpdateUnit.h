#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

class TUpdateHttpClient;
class TUpdateCheckThread;

// The update service's address and the program's version, chosen when the
// program is built.
extern const char* const UpdateServiceUrl;
inline constexpr int32_t KavroVersion = 2015073001;
// The message with which the check asks the main window whether the installer
// may run: 1 agrees, anything else declines.
inline constexpr uint32_t UpdateMessageNumber = 5120;

// What the check sends its message to: a window, answering on the UI thread.
class TMessageWindow {
public:
    virtual intptr_t SendMessage(uint32_t message) = 0;

protected:
    ~TMessageWindow() = default;
};
