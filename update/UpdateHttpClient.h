#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>

// The update check's HTTP client: HTTP/1.0 GETs of a fixed wire form over a
// direct IPv4 connection, "http" only.
class TUpdateHttpClient {
public:
    // A request that sees no network activity for this long fails.
    std::chrono::milliseconds InactivityTimeout{30000};

    // Fetches `url` and answers its body (a chunked body decoded). Follows up to
    // five redirections; a sixth redirect response is not followed and is the
    // answer. A final status below 400, or 401 or 407, is success; anything else,
    // a failed connection, another scheme than "http", the time-out or a body
    // larger than maxBodySize throws EUpdateError.
    QByteArray Get(const QString& url, int64_t maxBodySize);

    // The status of the last answer (0 before any).
    int Status() const { return FStatus; }

    // The request head Get sends for `url`: the request line, Accept,
    // User-Agent and Host, each ended by CR LF, then an empty line. Throws
    // EUpdateError for a URL the client cannot serve.
    static QByteArray RequestHead(const QString& url);

private:
    int FStatus = 0;
};
