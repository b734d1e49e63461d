#include "HttpClient.h"

#include "KavroError.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <memory>
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

bool HeaderIs(const char* line, size_t length, const char* name) {
    const size_t nameLength = strlen(name);
    return length > nameLength && strncasecmp(line, name, nameLength) == 0 &&
           line[nameLength] == ':';
}

} // namespace

THttpClient::THttpClient() {
    static std::once_flag globalInit;
    std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool THttpClient::Report(int64_t readCount) {
    if (FAborted)
        return false; // a stopped transfer is reported once
    if (!FProgress)
        return true;
    // An exception must not pass through libcurl's C code: it is kept, the
    // transfer is aborted, and Get throws it once libcurl has returned.
    try {
        FProgress(this, FContentLength, readCount, FAborted);
    } catch (...) {
        FCallbackError = std::current_exception();
        FAborted = true;
    }
    return !FAborted;
}

size_t THttpClient::OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* client = static_cast<THttpClient*>(self);
    const size_t length = size * count;
    if (length >= 5 && strncmp(data, "HTTP/", 5) == 0) {
        client->FHasLocation = false;
        client->FAcceptsRanges = false;
        client->FRangeStart = client->FRangeTotal = -1;
        return length;
    }
    if (HeaderIs(data, length, "Accept-Ranges")) {
        client->FAcceptsRanges = QByteArray(data, static_cast<qsizetype>(length)).contains("bytes");
        return length;
    }
    if (HeaderIs(data, length, "Content-Range")) {
        // "Content-Range: bytes START-END/TOTAL"
        const QByteArray value = QByteArray(data, static_cast<qsizetype>(length)).mid(14).trimmed();
        const qsizetype dash = value.indexOf('-');
        const qsizetype slash = value.indexOf('/');
        if (value.startsWith("bytes ") && dash > 6 && slash > dash) {
            client->FRangeStart = value.mid(6, dash - 6).toLongLong();
            client->FRangeTotal = value.mid(slash + 1).toLongLong();
        }
        return length;
    }
    if (HeaderIs(data, length, "Location")) {
        client->FHasLocation = true;
        return length;
    }
    const bool endOfHead = (length == 2 && data[0] == '\r') || (length == 1 && data[0] == '\n');
    if (!endOfHead)
        return length;

    long status = 0;
    curl_easy_getinfo(client->FCurl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || (status >= 300 && status < 400 && client->FHasLocation))
        return length; // an interim answer, or a redirect that curl follows
    client->FStatus = status;
    if (status >= 300)
        return 0; // never take an error page for the media
    curl_off_t contentLength = -1;
    curl_easy_getinfo(client->FCurl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &contentLength);
    client->FContentLength = contentLength > 0 ? contentLength : -1;
    client->FReadCount = 0;
    return client->Report(0) ? length : 0;
}

bool THttpClient::Flush() {
    size_t written = 0;
    while (written < FPending.size()) {
        const ssize_t n = write(FFd, FPending.data() + written, FPending.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            FWriteErrno = n < 0 ? errno : ENOSPC;
            return false;
        }
        written += static_cast<size_t>(n);
    }
    FPending.clear();
    return true;
}

size_t THttpClient::OnWrite(char* data, size_t size, size_t count, void* self) {
    auto* client = static_cast<THttpClient*>(self);
    const size_t length = size * count;
    if (client->FStatus < 200 || client->FStatus >= 300) {
        // A body without a final 2xx head (say a 3xx that is not followed).
        curl_easy_getinfo(client->FCurl, CURLINFO_RESPONSE_CODE, &client->FStatus);
        if (client->FStatus < 300)
            client->FStatus = 300;
        return 0;
    }
    if (client->FPending.size() + length > WriteBufferSize && !client->Flush())
        return 0;
    client->FPending.insert(client->FPending.end(), data, data + length);
    client->FReadCount += static_cast<int64_t>(length);
    return client->Report(client->FReadCount) ? length : 0;
}

int THttpClient::OnIdle(void* self, int64_t, int64_t, int64_t, int64_t) {
    auto* client = static_cast<THttpClient*>(self);
    if (client->FStopCheck && client->FStopCheck() && !client->Report(client->FReadCount))
        return 1;
    return 0;
}

void THttpClient::Get(const QString& url, int fd, const QByteArray& rangeValue) {
    if (url.isEmpty())
        throw EKavroError(QStringLiteral("NoMediaAddress"));
    std::unique_ptr<CURL, CurlCleanup> curl(curl_easy_init());
    if (!curl)
        throw EKavroError(QStringLiteral("HttpStartFailed"));
    FCurl = curl.get();
    FFd = fd;
    FContentLength = -1;
    FReadCount = 0;
    FStatus = 0;
    FAborted = false;
    FCallbackError = nullptr;
    FWriteErrno = 0;
    FPending.clear();
    FPending.reserve(WriteBufferSize);

    // The header set the extractor itself sends to the video service, which
    // treats other clients worse; and no compression of media.
    std::unique_ptr<curl_slist, SlistCleanup> headers;
    for (const char* header : MediaRequestHeaders)
        headers.reset(curl_slist_append(headers.release(), header));
    if (!rangeValue.isEmpty())
        headers.reset(curl_slist_append(headers.release(), ("Range: " + rangeValue).constData()));

    char errorText[CURL_ERROR_SIZE] = {};
    const QByteArray urlBytes = url.toUtf8();
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, urlBytes.constData());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
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
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &THttpClient::OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &THttpClient::OnWrite);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
    if (FStopCheck) {
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &THttpClient::OnIdle);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    }

    const CURLcode result = curl_easy_perform(c);
    FCurl = nullptr;
    // Whatever arrived reaches the file, also after a stop or a failure.
    const bool flushed = FWriteErrno == 0 && Flush();
    if (FCallbackError)
        std::rethrow_exception(FCallbackError);
    if (!flushed && (result == CURLE_OK || FAborted))
        throw EKavroError(QStringLiteral("FileWriteError"),
                          {QString::fromLocal8Bit(strerror(FWriteErrno))});
    if (FAborted)
        return;
    if (result == CURLE_OK) {
        // Success is a final 2xx answer with a body: a 3xx that curl did not
        // follow (an empty Location) ends "successfully" with nothing written.
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status >= 300)
            throw EKavroError(QStringLiteral("HttpStatusError"), {QString::number(status)});
        if (FReadCount == 0)
            throw EKavroError(QStringLiteral("EmptyAnswer"));
        return;
    }
    if (FStatus >= 300)
        throw EKavroError(QStringLiteral("HttpStatusError"), {QString::number(FStatus)});
    if (FWriteErrno != 0)
        throw EKavroError(QStringLiteral("FileWriteError"),
                          {QString::fromLocal8Bit(strerror(FWriteErrno))});
    const QString reason = QString::fromUtf8(*errorText ? errorText : curl_easy_strerror(result));
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
