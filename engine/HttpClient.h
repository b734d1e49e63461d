#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <exception>
#include <functional>
#include <vector>

// Sent with every media request.
inline constexpr const char* MediaRequestHeaders[] = {
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/142.0.0.0 Safari/537.36",
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8",
    "Accept-Language: en-us,en;q=0.5",
    "Sec-Fetch-Mode: navigate",
    "Accept-Encoding: identity",
};

// One HTTP GET into an open file, on libcurl's easy interface.
class THttpClient {
public:
    // Called once when a final 2xx response's headers have arrived (readCount 0)
    // and again after every chunk written to the file. contentLength is -1 when
    // the server gave none (or 0). Setting abort stops the transfer at once.
    using TProgress = std::function<void(THttpClient* sender, int64_t contentLength,
                                         int64_t readCount, bool& abort)>;

    THttpClient();
    void SetProgress(TProgress progress) { FProgress = std::move(progress); }
    // Asked about once a second while no data flows; when it answers true the
    // progress callback is made at once, so a stop also reaches a stalled transfer.
    void SetStopCheck(std::function<bool()> check) { FStopCheck = std::move(check); }
    // A transfer that moves no byte for this long fails instead of hanging.
    void SetStallTimeout(int seconds) { FStallTimeout = seconds; }

    // Fetches `url` and writes the body to `fd` at its current position,
    // following redirects. An aborted transfer returns normally (see Aborted()).
    // Throws EKavroError for a transport failure, a body that ends early, a
    // failed write, or a final status of 300 or above; such a body is never
    // written to the file.
    void Get(const QString& url, int fd, const QByteArray& rangeValue = {});
    bool Aborted() const { return FAborted; }

    // Of the final answer: its status, the body bytes received, whether the
    // server takes Range requests, and for a 206 the range's start and the
    // whole resource's length (-1 when not given).
    long Status() const { return FStatus; }
    int64_t ReadCount() const { return FReadCount; }
    bool AcceptsRanges() const { return FAcceptsRanges; }
    int64_t RangeStart() const { return FRangeStart; }
    int64_t RangeTotal() const { return FRangeTotal; }

private:
    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    static size_t OnWrite(char* data, size_t size, size_t count, void* self);
    static int OnIdle(void* self, int64_t, int64_t, int64_t, int64_t);
    bool Report(int64_t readCount);
    bool Flush();

    TProgress FProgress;
    std::function<bool()> FStopCheck;
    int FStallTimeout = 60;
    void* FCurl = nullptr;
    int FFd = -1;
    // libcurl hands over the body in pieces of at most 16 KiB; gathering them
    // saves the file system a call per piece. Always flushed before Get returns.
    std::vector<char> FPending;
    int64_t FContentLength = -1;
    int64_t FReadCount = 0;
    long FStatus = 0;
    bool FHasLocation = false;
    bool FAcceptsRanges = false;
    int64_t FRangeStart = -1;
    int64_t FRangeTotal = -1;
    bool FAborted = false;
    std::exception_ptr FCallbackError; // thrown by the progress receiver
    int FWriteErrno = 0;
};
