#include "HttpClient.h"

#include "KavroError.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <unistd.h>

namespace {

struct CurlCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// Large socket reads and large file writes keep the per-megabyte work small.
constexpr long ReceiveBufferSize = 1024 * 1024;
constexpr size_t WriteBufferSize = 1024 * 1024;
// How often a waiting transfer looks at its stop check.
constexpr int PollMilliseconds = 50;
constexpr int PieceAttempts = 3;

bool HeaderIs(const char* line, size_t length, const char* name) {
    const size_t nameLength = strlen(name);
    return length > nameLength && strncasecmp(line, name, nameLength) == 0 &&
           line[nameLength] == ':';
}

QString SystemReason(int error) {
    return QString::fromLocal8Bit(strerror(error));
}

} // namespace

// One request and what its answer said so far.
struct THttpClient::TRequest {
    THttpClient* Owner = nullptr;
    std::unique_ptr<CURL, CurlCleanup> Curl;
    std::unique_ptr<curl_slist, SlistCleanup> Headers;
    QByteArray Url;
    char ErrorText[CURL_ERROR_SIZE] = {};
    bool Active = false; // in the multi handle
    size_t Piece = 0;    // of GetRanges, the one this request fetches
    int Attempts = 0;
    int64_t AskedFrom = 0; // a piece: the first byte asked for
    int64_t End = -1;      // a piece: one past its last byte
    // libcurl hands over the body in small pieces; gathering them saves the
    // file system a call per piece. Pending begins at file offset FlushedTo.
    std::vector<char> Pending;
    int64_t FlushedTo = 0;
    int WriteErrno = 0;
    long Status = 0;
    bool HasLocation = false;
    bool AcceptsRanges = false;
    int64_t RangeStart = -1;
    int64_t RangeTotal = -1;
    int64_t ContentLength = -1;
    int64_t ReadCount = 0;

    int64_t WrittenTo() const { return FlushedTo + static_cast<int64_t>(Pending.size()); }

    bool Flush(int fd) {
        size_t written = 0;
        while (written < Pending.size()) {
            const ssize_t n = pwrite(fd, Pending.data() + written, Pending.size() - written,
                                     FlushedTo + static_cast<int64_t>(written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                WriteErrno = n < 0 ? errno : ENOSPC;
                Pending.erase(Pending.begin(), Pending.begin() + static_cast<ssize_t>(written));
                FlushedTo += static_cast<int64_t>(written);
                return false;
            }
            written += static_cast<size_t>(n);
        }
        FlushedTo += static_cast<int64_t>(written);
        Pending.clear();
        return true;
    }
};

THttpClient::THttpClient() {
    static std::once_flag globalInit;
    std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    FMulti = curl_multi_init();
    // Pieces go over connections of their own, never multiplexed onto one.
    if (FMulti)
        curl_multi_setopt(FMulti, CURLMOPT_PIPELINING, CURLPIPE_NOTHING);
}

THttpClient::~THttpClient() {
    if (FMulti)
        curl_multi_cleanup(FMulti);
}

bool THttpClient::Report(int64_t readCount) {
    if (FAborted)
        return false; // a stopped transfer is reported once
    if (!FProgress)
        return true;
    // An exception must not pass through libcurl's C code: it is kept, the
    // transfer is aborted, and it is thrown again once libcurl has returned.
    try {
        FProgress(this, FContentLength, readCount, FAborted);
    } catch (...) {
        FCallbackError = std::current_exception();
        FAborted = true;
    }
    return !FAborted;
}

size_t THttpClient::OnHeader(char* data, size_t size, size_t count, void* request) {
    auto& r = *static_cast<TRequest*>(request);
    THttpClient* client = r.Owner;
    const size_t length = size * count;
    if (length >= 5 && strncmp(data, "HTTP/", 5) == 0) {
        r.HasLocation = false;
        r.AcceptsRanges = false;
        r.RangeStart = r.RangeTotal = -1;
        return length;
    }
    if (HeaderIs(data, length, "Accept-Ranges")) {
        r.AcceptsRanges = QByteArray(data, static_cast<qsizetype>(length)).contains("bytes");
        return length;
    }
    if (HeaderIs(data, length, "Content-Range")) {
        // "Content-Range: bytes START-END/TOTAL"
        const QByteArray value = QByteArray(data, static_cast<qsizetype>(length)).mid(14).trimmed();
        const qsizetype dash = value.indexOf('-');
        const qsizetype slash = value.indexOf('/');
        if (value.startsWith("bytes ") && dash > 6 && slash > dash) {
            r.RangeStart = value.mid(6, dash - 6).toLongLong();
            r.RangeTotal = value.mid(slash + 1).toLongLong();
        }
        return length;
    }
    if (HeaderIs(data, length, "Location")) {
        r.HasLocation = true;
        return length;
    }
    const bool endOfHead = (length == 2 && data[0] == '\r') || (length == 1 && data[0] == '\n');
    if (!endOfHead)
        return length;

    long status = 0;
    curl_easy_getinfo(r.Curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || (status >= 300 && status < 400 && r.HasLocation))
        return length; // an interim answer, or a redirect that curl follows
    r.Status = status;
    if (client->FPieces) {
        // A 200 (ranges ignored), a 416 or another resource's range would put
        // wrong bytes at this piece's place.
        if (status == 200 || status == 416 ||
            (status == 206 && (r.RangeStart != r.AskedFrom || r.RangeTotal != client->FPieceTotal)))
            client->FMismatch = true;
        if (client->FMismatch)
            client->FStatus = status;
        return status == 206 && !client->FMismatch ? length : 0;
    }
    if (status >= 300)
        return 0; // never take an error page for the media
    curl_off_t contentLength = -1;
    curl_easy_getinfo(r.Curl.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &contentLength);
    r.ContentLength = client->FContentLength = contentLength > 0 ? contentLength : -1;
    // The receiver may ask about this answer while it arrives.
    client->FStatus = status;
    client->FAcceptsRanges = r.AcceptsRanges;
    client->FRangeStart = r.RangeStart;
    client->FRangeTotal = r.RangeTotal;
    r.ReadCount = client->FReadCount = 0;
    return client->Report(0) ? length : 0;
}

size_t THttpClient::OnWrite(char* data, size_t size, size_t count, void* request) {
    auto& r = *static_cast<TRequest*>(request);
    THttpClient* client = r.Owner;
    const size_t length = size * count;
    if (r.Status < 200 || r.Status >= 300) {
        // A body without a final 2xx head (say a 3xx that is not followed).
        curl_easy_getinfo(r.Curl.get(), CURLINFO_RESPONSE_CODE, &r.Status);
        if (r.Status < 300)
            r.Status = 300;
        return 0;
    }
    if (r.Pending.size() + length > WriteBufferSize && !r.Flush(client->FFd))
        return 0;
    r.Pending.insert(r.Pending.end(), data, data + length);
    r.ReadCount += static_cast<int64_t>(length);
    if (client->FPieces)
        client->FReceived += static_cast<int64_t>(length);
    else
        client->FReadCount = r.ReadCount;
    return client->Report(client->FPieces ? client->FReceived : client->FReadCount) ? length : 0;
}

void THttpClient::StartRequest(TRequest& r, const QByteArray& rangeValue) {
    // A handle that served a piece serves the next one: it keeps its buffer
    // and its connection.
    const bool fresh = !r.Curl;
    if (fresh)
        r.Curl.reset(curl_easy_init());
    if (!r.Curl)
        throw EKavroError(QStringLiteral("HttpStartFailed"));
    r.Status = 0;
    r.HasLocation = r.AcceptsRanges = false;
    r.RangeStart = r.RangeTotal = r.ContentLength = -1;
    r.ReadCount = 0;
    r.ErrorText[0] = '\0';
    r.Pending.reserve(WriteBufferSize);

    // The header set the extractor itself sends to the video service, which
    // treats other clients worse; and no compression of media.
    r.Headers.reset();
    for (const char* header : MediaRequestHeaders)
        r.Headers.reset(curl_slist_append(r.Headers.release(), header));
    if (!rangeValue.isEmpty())
        r.Headers.reset(
            curl_slist_append(r.Headers.release(), ("Range: " + rangeValue).constData()));

    CURL* c = r.Curl.get();
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, r.Headers.get());
    if (fresh)
        SetRequestOptions(r);
    if (curl_multi_add_handle(FMulti, c) != CURLM_OK)
        throw EKavroError(QStringLiteral("HttpStartFailed"));
    r.Active = true;
}

void THttpClient::SetRequestOptions(TRequest& r) {
    CURL* c = r.Curl.get();
    curl_easy_setopt(c, CURLOPT_URL, r.Url.constData());
    // Media comes over HTTP: no file:, ftp: or other scheme, also not by a redirect.
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, ReceiveBufferSize);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(FStallTimeout));
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, r.ErrorText);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &THttpClient::OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &THttpClient::OnWrite);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(c, CURLOPT_PRIVATE, &r);
}

void THttpClient::RunRequests(const std::function<void(TRequest&, int result)>& onDone) {
    for (;;) {
        int running = 0;
        if (curl_multi_perform(FMulti, &running) != CURLM_OK)
            throw EKavroError(QStringLiteral("HttpStartFailed"));
        int left = 0;
        bool finished = false;
        while (CURLMsg* message = curl_multi_info_read(FMulti, &left)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            CURL* easy = message->easy_handle;
            const CURLcode result = message->data.result;
            TRequest* r = nullptr;
            curl_easy_getinfo(easy, CURLINFO_PRIVATE, &r);
            curl_multi_remove_handle(FMulti, easy);
            r->Active = false;
            finished = true;
            onDone(*r, result);
        }
        if (FAborted || FMismatch)
            return;
        if (finished)
            continue; // onDone may have started requests, or ended the last one
        if (running == 0)
            return;
        curl_multi_poll(FMulti, nullptr, 0, PollMilliseconds, nullptr);
        if (FStopCheck && FStopCheck())
            Report(FPieces ? FReceived : FReadCount);
    }
}

void THttpClient::ThrowFailure(TRequest& r, int code) {
    const auto result = static_cast<CURLcode>(code);
    if (r.Status >= 300)
        throw EKavroError(QStringLiteral("HttpStatusError"), {QString::number(r.Status)});
    if (r.WriteErrno != 0)
        throw EKavroError(QStringLiteral("FileWriteError"), {SystemReason(r.WriteErrno)});
    if (result == CURLE_OK) {
        // Success is a final 2xx answer with a body: a 3xx that curl did not
        // follow (an empty Location) ends "successfully" with nothing written.
        long status = 0;
        curl_easy_getinfo(r.Curl.get(), CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status >= 300)
            throw EKavroError(QStringLiteral("HttpStatusError"), {QString::number(status)});
        if (r.ReadCount == 0)
            throw EKavroError(QStringLiteral("EmptyAnswer"));
        throw EKavroError(QStringLiteral("ReceiveError"),
                          {QString::number(CURLE_PARTIAL_FILE),
                           QString::fromUtf8(curl_easy_strerror(CURLE_PARTIAL_FILE))});
    }
    const QString reason =
        QString::fromUtf8(r.ErrorText[0] ? r.ErrorText : curl_easy_strerror(result));
    switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
        throw EKavroError(QStringLiteral("SendError"), {QString::number(result), reason});
    default:
        throw EKavroError(QStringLiteral("ReceiveError"), {QString::number(result), reason});
    }
}

void THttpClient::BeginTransfer(const QString& url, int fd, bool pieces) {
    if (url.isEmpty())
        throw EKavroError(QStringLiteral("NoMediaAddress"));
    if (!FMulti)
        throw EKavroError(QStringLiteral("HttpStartFailed"));
    FFd = fd;
    FPieces = pieces;
    FContentLength = -1;
    FReadCount = 0;
    FAborted = FMismatch = false;
    FCallbackError = nullptr;
}

void THttpClient::Get(const QString& url, int fd, const QByteArray& rangeValue) {
    BeginTransfer(url, fd, false);

    TRequest r;
    r.Owner = this;
    r.Url = url.toUtf8();
    const off_t position = lseek(fd, 0, SEEK_CUR);
    r.FlushedTo = position > 0 ? position : 0;
    StartRequest(r, rangeValue);
    int result = CURLE_OK;
    RunRequests([&](TRequest&, int code) { result = code; });
    if (r.Active) {
        curl_multi_remove_handle(FMulti, r.Curl.get());
        r.Active = false;
    }
    // Whatever arrived reaches the file, also after a stop or a failure.
    const bool flushed = r.WriteErrno == 0 && r.Flush(fd);
    lseek(fd, r.FlushedTo, SEEK_SET);
    FStatus = r.Status;
    FReadCount = r.ReadCount;
    FAcceptsRanges = r.AcceptsRanges;
    FRangeStart = r.RangeStart;
    FRangeTotal = r.RangeTotal;
    if (FCallbackError)
        std::rethrow_exception(FCallbackError);
    if (!flushed && (result == CURLE_OK || FAborted))
        throw EKavroError(QStringLiteral("FileWriteError"), {SystemReason(r.WriteErrno)});
    if (FAborted)
        return;
    if (result == CURLE_OK && r.Status >= 200 && r.Status < 300 && r.ReadCount > 0)
        return;
    ThrowFailure(r, result);
}

THttpClient::TRangesResult THttpClient::GetRanges(const QString& url, int fd, int64_t from,
                                                  int64_t total, int64_t pieceSize,
                                                  int connections) {
    BeginTransfer(url, fd, true);
    FPieceTotal = total;
    FReceived = 0;
    FContentLength = total - from;
    FContiguousEnd = from;
    pieceSize = std::max<int64_t>(pieceSize, 1);
    connections = std::max(connections, 1);

    // The pieces, and a request per connection that takes one after another,
    // so memory stays a buffer per connection whatever the file's size.
    struct TPiece {
        int64_t Start;
        int64_t End;     // one past its last byte
        int64_t Reached; // the file holds [Start, Reached)
    };
    std::vector<TPiece> pieces;
    for (int64_t start = from; start < total; start += pieceSize)
        pieces.push_back({start, std::min(start + pieceSize, total), start});
    std::vector<std::unique_ptr<TRequest>> requests;
    for (size_t i = 0; i < std::min(pieces.size(), static_cast<size_t>(connections)); ++i) {
        requests.push_back(std::make_unique<TRequest>());
        requests.back()->Owner = this;
        requests.back()->Url = url.toUtf8();
    }
    auto rangeOf = [](const TRequest& slot) {
        return "bytes=" + QByteArray::number(slot.AskedFrom) + '-' +
               QByteArray::number(slot.End - 1);
    };
    size_t next = 0;
    auto take = [&](TRequest& slot) {
        if (next == pieces.size())
            return;
        slot.Piece = next++;
        slot.AskedFrom = slot.FlushedTo = pieces[slot.Piece].Start;
        slot.End = pieces[slot.Piece].End;
        slot.Attempts = 0;
        StartRequest(slot, rangeOf(slot));
    };

    std::exception_ptr failure;
    auto onDone = [&](TRequest& slot, int result) {
        if (slot.WriteErrno == 0)
            slot.Flush(fd);
        pieces[slot.Piece].Reached = slot.FlushedTo;
        if (FAborted || FMismatch)
            return;
        if (slot.WriteErrno == 0 && result == CURLE_OK && slot.Status == 206 &&
            slot.FlushedTo == slot.End) {
            take(slot);
            return;
        }
        // Asked for again from where it stopped; what arrived stays.
        if (slot.WriteErrno == 0 && ++slot.Attempts < PieceAttempts) {
            slot.AskedFrom = slot.FlushedTo;
            StartRequest(slot, rangeOf(slot));
            return;
        }
        try {
            ThrowFailure(slot, result);
        } catch (...) {
            failure = std::current_exception();
        }
        FAborted = true; // ends the other pieces; the error goes to the caller
    };

    try {
        for (auto& slot : requests)
            take(*slot);
        RunRequests(onDone);
    } catch (...) {
        failure = std::current_exception();
    }
    for (auto& slot : requests) {
        if (!slot->Active)
            continue;
        curl_multi_remove_handle(FMulti, slot->Curl.get());
        slot->Active = false;
        if (slot->WriteErrno == 0)
            slot->Flush(fd); // whatever arrived reaches the file
        pieces[slot->Piece].Reached = slot->FlushedTo;
    }
    FContiguousEnd = total;
    for (const TPiece& piece : pieces) {
        if (piece.Reached != piece.End) {
            FContiguousEnd = piece.Reached;
            break;
        }
    }
    FPieces = false;
    if (FCallbackError)
        std::rethrow_exception(FCallbackError);
    if (failure)
        std::rethrow_exception(failure);
    if (FMismatch)
        return TRangesResult::Mismatch;
    if (FAborted)
        return TRangesResult::Aborted;
    return TRangesResult::Complete;
}
