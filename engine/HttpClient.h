#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
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

// HTTP GETs into an open file, on libcurl's multi interface: one request, or
// the pieces of a range over several connections at once.
class THttpClient {
public:
    // Called when a final 2xx response's headers have arrived (readCount 0; not
    // for pieces) and again after every chunk received. contentLength is -1
    // when the server gave none (or 0). Setting abort stops every request at once.
    using TProgress = std::function<void(THttpClient* sender, int64_t contentLength,
                                         int64_t readCount, bool& abort)>;

    THttpClient();
    ~THttpClient();
    THttpClient(const THttpClient&) = delete;
    THttpClient& operator=(const THttpClient&) = delete;

    void SetProgress(TProgress progress) { FProgress = std::move(progress); }
    // Asked several times a second while requests run; when it answers true the
    // progress callback is made at once, so a stop also reaches a stalled transfer.
    void SetStopCheck(std::function<bool()> check) { FStopCheck = std::move(check); }
    // A request that moves no byte for this long fails instead of hanging.
    void SetStallTimeout(int seconds) { FStallTimeout = seconds; }

    // Fetches `url` and writes the body to `fd` at its current position,
    // following redirects; the position ends after the body. An aborted
    // transfer returns normally (see Aborted()). Throws EKavroError for a
    // transport failure, a body that ends early, a failed write, or a final
    // status of 300 or above; such a body is never written to the file.
    void Get(const QString& url, int fd, const QByteArray& rangeValue = {});
    bool Aborted() const { return FAborted; }

    // Of the final answer to Get: its status, the body bytes received, whether
    // the server takes Range requests, and for a 206 the range's start and the
    // whole resource's length (-1 when not given).
    long Status() const { return FStatus; }
    int64_t ReadCount() const { return FReadCount; }
    bool AcceptsRanges() const { return FAcceptsRanges; }
    int64_t RangeStart() const { return FRangeStart; }
    int64_t RangeTotal() const { return FRangeTotal; }

    enum class TRangesResult {
        Complete,
        Aborted,
        // An answer was no 206 of this resource (a 200, or another total):
        // the server ignores ranges or the resource changed.
        Mismatch,
    };
    // Fetches bytes [from, total) of `url` as Range requests of `pieceSize`
    // bytes, up to `connections` at a time over separate connections, each
    // written at its own offset in `fd`. Every answer must be a 206 whose
    // Content-Range starts where asked and names `total`. A piece that fails is
    // asked for again from where it stopped, three attempts in all; then its
    // error is thrown. Progress counts the bytes of this call against
    // total - from. Memory stays a buffer per connection, whatever the size.
    TRangesResult GetRanges(const QString& url, int fd, int64_t from, int64_t total,
                            int64_t pieceSize, int connections);
    // After GetRanges, also after a stop or a failure: where the bytes that
    // follow `from` without a gap end.
    int64_t ContiguousEnd() const { return FContiguousEnd; }

    struct TRequest;

private:
    static size_t OnHeader(char* data, size_t size, size_t count, void* request);
    static size_t OnWrite(char* data, size_t size, size_t count, void* request);
    bool Report(int64_t readCount);
    void BeginTransfer(const QString& url, int fd, bool pieces);
    // Runs the requests added to the multi handle until none is left or the
    // transfer was aborted; `onDone` sees each finished request and may add more.
    void RunRequests(const std::function<void(TRequest&, int result)>& onDone);
    void StartRequest(TRequest& request, const QByteArray& rangeValue);
    void SetRequestOptions(TRequest& request);
    [[noreturn]] void ThrowFailure(TRequest& request, int result);

    TProgress FProgress;
    std::function<bool()> FStopCheck;
    int FStallTimeout = 60;
    void* FMulti = nullptr;
    int FFd = -1;
    bool FPieces = false;     // GetRanges is running
    int64_t FPieceTotal = -1; // the whole length the pieces must name
    int64_t FReceived = 0;    // body bytes of this GetRanges call
    int64_t FContiguousEnd = 0;
    int64_t FContentLength = -1;
    int64_t FReadCount = 0;
    long FStatus = 0;
    bool FAcceptsRanges = false;
    int64_t FRangeStart = -1;
    int64_t FRangeTotal = -1;
    bool FAborted = false;
    bool FMismatch = false;
    std::exception_ptr FCallbackError; // thrown by the progress receiver
};
