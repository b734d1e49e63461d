#include "UpdateHttpClient.h"

#include "UpdateProtocol.h"

#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int MaxRedirections = 5;
constexpr qsizetype MaxHeadSize = 64 * 1024;
constexpr qsizetype MaxChunkLineSize = 4 * 1024;
constexpr size_t ReadSize = 16 * 1024;

[[noreturn]] void Fail(const std::string& message) {
    throw EUpdateError(message);
}

// Where a URL leads: the connection's end, the Host header's text and the
// request line's target. Origin and Path keep the URL's own text so that a
// relative redirection can be resolved against them.
struct TTarget {
    QString Origin; // "http://" and the authority as written
    QString Path;   // path and query, "/" when the URL has none, no fragment
    QByteArray Host;
    uint16_t Port = 80;
};

TTarget ParseUrl(const QString& url) {
    const qsizetype schemeEnd = url.indexOf(QLatin1String("://"));
    if (schemeEnd <= 0)
        Fail("Not an absolute URL: " + url.toStdString());
    if (url.left(schemeEnd).compare(QLatin1String("http"), Qt::CaseInsensitive) != 0)
        Fail("Only http is served: " + url.toStdString());
    const qsizetype authorityStart = schemeEnd + 3;
    qsizetype authorityEnd = authorityStart;
    while (authorityEnd < url.size() && url[authorityEnd] != u'/' && url[authorityEnd] != u'?' &&
           url[authorityEnd] != u'#')
        ++authorityEnd;
    const QString authority = url.mid(authorityStart, authorityEnd - authorityStart);

    TTarget target;
    target.Origin = url.left(authorityEnd);
    QString hostPort = authority.mid(authority.lastIndexOf(u'@') + 1);
    if (hostPort.startsWith(u'['))
        Fail("Only IPv4 hosts are served: " + url.toStdString());
    const qsizetype colon = hostPort.lastIndexOf(u':');
    if (colon >= 0) {
        const QString portText = hostPort.mid(colon + 1);
        hostPort.truncate(colon);
        if (!portText.isEmpty()) {
            bool digits = portText.size() <= 5;
            for (const QChar c : portText)
                digits = digits && c >= u'0' && c <= u'9';
            const int port = digits ? portText.toInt() : 0;
            if (port < 1 || port > 65535)
                Fail("Bad port in URL: " + url.toStdString());
            target.Port = static_cast<uint16_t>(port);
        }
    }
    if (hostPort.isEmpty())
        Fail("No host in URL: " + url.toStdString());
    // The host goes into the Host line as it stands: nothing that could end
    // or bend that line.
    for (const QChar c : hostPort)
        if (c.unicode() <= u' ' || c.unicode() >= 0x7F)
            Fail("Bad host in URL: " + url.toStdString());
    target.Host = hostPort.toUtf8();

    QString path = url.mid(authorityEnd);
    path.truncate(path.indexOf(u'#') < 0 ? path.size() : path.indexOf(u'#'));
    if (!path.startsWith(u'/'))
        path.prepend(u'/');
    target.Path = path;
    return target;
}

// The request line cannot carry blanks, controls or raw 8-bit bytes.
QByteArray WireTarget(const QString& path) {
    static const char Hex[] = "0123456789ABCDEF";
    QByteArray result;
    for (const char c : path.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            result += '%';
            result += Hex[byte >> 4];
            result += Hex[byte & 0x0F];
        } else {
            result += c;
        }
    }
    return result;
}

QByteArray HeadFor(const TTarget& target) {
    QByteArray host = target.Host;
    if (target.Port != 80 && target.Port != 443)
        host += ':' + QByteArray::number(target.Port);
    return "GET " + WireTarget(target.Path) +
           " HTTP/1.0\r\n"
           "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
           "User-Agent: Mozilla/4.0\r\n"
           "Host: " +
           host + "\r\n\r\n";
}

// A Location header's value against the URL that answered with it (RFC 3986
// resolution, dot segments removed); ParseUrl then judges the result.
QString ResolveLocation(const TTarget& base, const QString& location) {
    return QUrl(base.Origin + base.Path)
        .resolved(QUrl(location))
        .toString(QUrl::FullyEncoded | QUrl::RemoveFragment);
}

// One connection, every wait bounded by the time since the last network
// activity.
class TConnection {
public:
    TConnection(const TTarget& target, std::chrono::milliseconds timeout) : Timeout(timeout) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo* found = nullptr;
        const std::string host = target.Host.toStdString();
        const int resolved =
            getaddrinfo(host.c_str(), std::to_string(target.Port).c_str(), &hints, &found);
        if (resolved != 0)
            Fail("Cannot resolve " + host + ": " + gai_strerror(resolved));
        std::string lastError = "no address";
        for (const addrinfo* address = found; address != nullptr && Fd < 0;
             address = address->ai_next) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0) {
                lastError = std::strerror(errno);
                continue;
            }
            LastActivity = Clock::now();
            int error = connect(fd, address->ai_addr, address->ai_addrlen) == 0 ? 0 : errno;
            if (error == EINPROGRESS) {
                try {
                    Wait(fd, POLLOUT);
                } catch (...) {
                    close(fd);
                    freeaddrinfo(found);
                    throw;
                }
                socklen_t length = sizeof error;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
            }
            if (error == 0) {
                Fd = fd;
                LastActivity = Clock::now();
            } else {
                lastError = std::strerror(error);
                close(fd);
            }
        }
        freeaddrinfo(found);
        if (Fd < 0)
            Fail("Cannot connect to " + host + ':' + std::to_string(target.Port) + ": " +
                 lastError);
    }

    ~TConnection() { close(Fd); }
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    void Send(const QByteArray& bytes) {
        qsizetype sent = 0;
        while (sent < bytes.size()) {
            const ssize_t count = send(Fd, bytes.constData() + sent,
                                       static_cast<size_t>(bytes.size() - sent), MSG_NOSIGNAL);
            if (count > 0) {
                sent += count;
                LastActivity = Clock::now();
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                Wait(Fd, POLLOUT);
            } else if (errno != EINTR) {
                Fail(std::string("Cannot send the request: ") + std::strerror(errno));
            }
        }
    }

    // Appends what arrives to `into`; false at the end of the stream.
    bool Receive(QByteArray& into) {
        char block[ReadSize];
        for (;;) {
            const ssize_t count = recv(Fd, block, sizeof block, 0);
            if (count > 0) {
                into.append(block, count);
                LastActivity = Clock::now();
                return true;
            }
            if (count == 0)
                return false;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                Wait(Fd, POLLIN);
            else if (errno != EINTR)
                Fail(std::string("Cannot receive the answer: ") + std::strerror(errno));
        }
    }

private:
    void Wait(int fd, short events) {
        for (;;) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(LastActivity + Timeout - Clock::now());
            if (left.count() <= 0)
                Fail("No network activity for " + std::to_string(Timeout.count()) + " ms");
            pollfd entry{fd, events, 0};
            const int ready = poll(
                &entry, 1,
                static_cast<int>(std::min<int64_t>(left.count(), std::numeric_limits<int>::max())));
            if (ready > 0)
                return; // errors and hang-ups show in the call that follows
            if (ready < 0 && errno != EINTR)
                Fail(std::string("Cannot wait on the connection: ") + std::strerror(errno));
        }
    }

    int Fd = -1;
    std::chrono::milliseconds Timeout;
    Clock::time_point LastActivity = Clock::now();
};

struct THead {
    int Status = 0;
    QString Location;
    bool Chunked = false;
    int64_t ContentLength = -1; // -1: none given
};

// Reads and parses one response head; what follows it stays in `buffer`.
THead ReadHead(TConnection& connection, QByteArray& buffer) {
    qsizetype headEnd = -1;
    qsizetype scanned = 0;
    while (headEnd < 0) {
        // The head ends at the first empty line, "\r\n" or a bare "\n"; empty
        // lines before the status line are dropped.
        for (qsizetype lineEnd; (lineEnd = buffer.indexOf('\n', scanned)) >= 0;) {
            const qsizetype lineLength = lineEnd - scanned;
            const bool empty = lineLength == 0 || (lineLength == 1 && buffer[scanned] == '\r');
            if (empty && scanned == 0) {
                buffer.remove(0, lineEnd + 1);
                continue;
            }
            scanned = lineEnd + 1;
            if (empty) {
                headEnd = scanned;
                break;
            }
        }
        if (headEnd >= 0)
            break;
        if (buffer.size() > MaxHeadSize)
            Fail("The answer's head is too long");
        if (!connection.Receive(buffer))
            Fail(buffer.isEmpty() ? "The connection closed without an answer"
                                  : "The connection closed inside the answer's head");
    }

    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    buffer.remove(0, headEnd);
    THead head;
    const QByteArray statusLine = lines.first().trimmed();
    const QList<QByteArray> parts = statusLine.split(' ');
    bool numeric = false;
    if (statusLine.startsWith("HTTP/") && parts.size() >= 2 && parts[1].size() == 3)
        head.Status = parts[1].toInt(&numeric);
    if (!numeric || head.Status < 100)
        Fail("Not an HTTP answer: " + statusLine.toStdString());
    for (qsizetype at = 1; at < lines.size(); ++at) {
        const QByteArray& line = lines[at];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "location") {
            head.Location = QString::fromUtf8(value);
        } else if (name == "transfer-encoding") {
            head.Chunked = value.toLower().contains("chunked");
        } else if (name == "content-length") {
            bool valid = !value.isEmpty() && value.size() <= 18;
            for (const char c : value)
                valid = valid && c >= '0' && c <= '9';
            if (!valid)
                Fail("Bad Content-Length: " + value.toStdString());
            head.ContentLength = value.toLongLong();
        }
    }
    return head;
}

[[noreturn]] void TooLarge(int64_t maxBodySize) {
    Fail("The answer's body is larger than " + std::to_string(maxBodySize) + " bytes");
}

QByteArray ReadChunkedBody(TConnection& connection, QByteArray& buffer, int64_t maxBodySize) {
    QByteArray body;
    for (;;) {
        qsizetype lineEnd;
        while ((lineEnd = buffer.indexOf('\n')) < 0) {
            if (buffer.size() > MaxChunkLineSize)
                Fail("A chunk's size line is too long");
            if (!connection.Receive(buffer))
                Fail("The connection closed inside a chunked body");
        }
        QByteArray sizeText = buffer.left(lineEnd);
        buffer.remove(0, lineEnd + 1);
        const qsizetype extension = sizeText.indexOf(';');
        if (extension >= 0)
            sizeText.truncate(extension);
        sizeText = sizeText.trimmed();
        bool valid = !sizeText.isEmpty() && sizeText.size() <= 15;
        for (const char c : sizeText)
            valid = valid && std::isxdigit(static_cast<unsigned char>(c));
        if (!valid)
            Fail("Bad chunk size: " + sizeText.toStdString());
        const int64_t size = sizeText.toLongLong(nullptr, 16);
        if (size == 0)
            return body; // trailers, if any, are of no use
        if (body.size() + size > maxBodySize)
            TooLarge(maxBodySize);

        for (int64_t left = size; left > 0;) {
            if (buffer.isEmpty() && !connection.Receive(buffer))
                Fail("The connection closed inside a chunk");
            const qsizetype take = static_cast<qsizetype>(std::min<int64_t>(left, buffer.size()));
            body.append(buffer.constData(), take);
            buffer.remove(0, take);
            left -= take;
        }
        while (buffer.size() < 2 && !buffer.startsWith('\n')) {
            if (!connection.Receive(buffer))
                Fail("The connection closed inside a chunked body");
        }
        if (buffer.startsWith("\r\n"))
            buffer.remove(0, 2);
        else if (buffer.startsWith('\n'))
            buffer.remove(0, 1);
        else
            Fail("A chunk does not end where its size says");
    }
}

QByteArray ReadBody(TConnection& connection, const THead& head, QByteArray buffer,
                    int64_t maxBodySize) {
    if (head.Status == 204 || head.Status == 304)
        return {};
    if (head.Chunked)
        return ReadChunkedBody(connection, buffer, maxBodySize);
    if (head.ContentLength >= 0) {
        if (head.ContentLength > maxBodySize)
            TooLarge(maxBodySize);
        while (buffer.size() < head.ContentLength) {
            if (!connection.Receive(buffer))
                Fail("The connection closed before the whole body arrived");
        }
        buffer.truncate(static_cast<qsizetype>(head.ContentLength));
        return buffer;
    }
    // Neither length nor chunks: the body ends when the server closes.
    for (;;) {
        if (buffer.size() > maxBodySize)
            TooLarge(maxBodySize);
        if (!connection.Receive(buffer))
            return buffer;
    }
}

} // namespace

QByteArray TUpdateHttpClient::RequestHead(const QString& url) {
    return HeadFor(ParseUrl(url));
}

QByteArray TUpdateHttpClient::Get(const QString& url, int64_t maxBodySize) {
    maxBodySize = std::max<int64_t>(maxBodySize, 0);
    TTarget target = ParseUrl(url);
    for (int redirections = 0;; ++redirections) {
        TConnection connection(target, InactivityTimeout);
        connection.Send(HeadFor(target));
        QByteArray buffer;
        THead head;
        do // an interim answer (1xx) is followed by the real one
            head = ReadHead(connection, buffer);
        while (head.Status < 200);
        FStatus = head.Status;

        if (head.Status >= 300 && head.Status < 400 && !head.Location.isEmpty() &&
            redirections < MaxRedirections) {
            target = ParseUrl(ResolveLocation(target, head.Location));
            continue;
        }
        if (head.Status >= 400 && head.Status != 401 && head.Status != 407)
            Fail("The server answered " + std::to_string(head.Status) + " for " +
                 target.Origin.toStdString() + target.Path.toStdString());
        return ReadBody(connection, head, std::move(buffer), maxBodySize);
    }
}
