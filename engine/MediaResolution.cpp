#include "MediaResolution.h"

#include "EngineBridge.h"
#include "QualityCatalogue.h"

#include <QRegularExpression>
#include <QStringList>

#include <vector>

namespace {

QString AsciiLower(QString text) {
    for (QChar& c : text)
        if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() + (u'a' - u'A'));
    return text;
}

// Removes every leading and trailing character with a code of 32 or less.
QString TrimControls(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin].unicode() <= 32)
        ++begin;
    while (end > begin && text[end - 1].unicode() <= 32)
        --end;
    return text.mid(begin, end - begin);
}

// Splits at CR LF, lone CR or lone LF; a break at the very end adds no empty line.
QStringList SplitLines(const QString& text) {
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\r' && text[i] != u'\n')
            continue;
        lines.append(text.mid(start, i - start));
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.append(text.mid(start));
    return lines;
}

// The name comes from outside the program and is joined to the output folder:
// a separator must not lead elsewhere, and "." or ".." name no file at all.
bool MakeSafeFileName(QString& name) {
    name.replace(u'/', u'_');
    name.replace(QChar(u'\0'), u'_');
    return !name.isEmpty() && name != u"." && name != u"..";
}

// Linux holds at most 255 bytes in a name, and the longest name made from the
// file's own adds ".video.origin" (a partial stream's record). The title is
// shortened on a character boundary so that the rest (the height, the video
// id, the extension) stays whole.
constexpr qsizetype NameBytesLimit = 255 - 13;

QString FitName(QString title, const QString& rest) {
    const qsizetype restBytes = rest.toUtf8().size();
    while (!title.isEmpty() && title.toUtf8().size() + restBytes > NameBytesLimit)
        title.chop(title.size() >= 2 && title.back().isLowSurrogate() ? 2 : 1);
    return title + rest;
}

// The name in two parts: what may be shortened, and what must stay whole.
QString FittedFileName(const QString& first, const QString& height, const QString& last) {
    const bool marked = first.endsWith(QStringLiteral("_("));
    return FitName(marked ? first.chopped(2) : first,
                   (marked ? QStringLiteral("_(") : QString()) + height + last);
}

// The identifier of the address forms the service's own pages and share button
// produce: youtu.be/ID and /shorts/ID, /live/ID, /embed/ID on its hosts.
QString VideoIDFromPath(const QString& url) {
    QString rest = TrimControls(url);
    const QString lower = AsciiLower(rest);
    for (const char* scheme : {"https://", "http://"}) {
        if (lower.startsWith(QLatin1StringView(scheme))) {
            rest = rest.mid(qsizetype(qstrlen(scheme)));
            break;
        }
    }
    const qsizetype slash = rest.indexOf(u'/');
    if (slash < 0)
        return {};
    const QString host = AsciiLower(rest.left(slash));
    QStringList path = rest.mid(slash + 1).split(u'/');
    QString id;
    if (host == u"youtu.be") {
        id = path.value(0);
    } else if (host == u"youtube.com" || host == u"www.youtube.com" || host == u"m.youtube.com" ||
               host == u"music.youtube.com") {
        const QString kind = path.value(0);
        if (kind == u"shorts" || kind == u"live" || kind == u"embed")
            id = path.value(1);
    }
    id = id.left(id.indexOf(QRegularExpression(QStringLiteral("[?#]"))));
    static const QRegularExpression idPattern(QStringLiteral("^[A-Za-z0-9_-]+$"));
    return idPattern.match(id).hasMatch() ? id : QString();
}

} // namespace

QString ExtractVideoID(const QString& url) {
    const qsizetype key = AsciiLower(url).indexOf(u"v=");
    if (key < 0)
        return VideoIDFromPath(url);
    const qsizetype start = key + 2;
    const qsizetype amp = url.indexOf(u'&');
    if (amp < 0)
        return url.mid(start);
    if (amp < start)
        return {};
    return url.mid(start, amp - start);
}

QString CanonicalWatchURL(const QString& videoId) {
    return QStringLiteral("https://") + QLatin1StringView(CanonicalWatchHost) +
           QStringLiteral("/watch?v=") + videoId;
}

QString NormalizeHeight(const QString& height) {
    if (height == u"1350")
        return QStringLiteral("1440");
    if (height == u"1012")
        return QStringLiteral("1080");
    if (height == u"450")
        return QStringLiteral("480");
    return height;
}

bool ResolveMedia(const QString& url, const QString& ext, const QString& height, bool needMux,
                  TResolvedMedia& media) {
    media.VideoURL.clear();
    media.AudioURL.clear();

    const std::vector<QByteArray> arguments{
        QByteArrayLiteral("Hello world.exe"),
        QByteArrayLiteral("-g"),
        QByteArrayLiteral("--get-filename"),
        QByteArrayLiteral("-o"),
        OutputTemplate(height).toUtf8(),
        QByteArrayLiteral("-f"),
        FormatSelector(ext, height, needMux).toUtf8(),
        url.toUtf8(),
    };
    const QStringList lines = SplitLines(TrimControls(RunEngine(arguments)));

    QString videoURL, audioURL, fileName;
    switch (lines.size()) {
    case 2: {
        videoURL = lines[0];
        const qsizetype dot = lines[1].lastIndexOf(u'.');
        fileName = dot > 0 ? FitName(lines[1].left(dot), lines[1].mid(dot)) : lines[1];
        break;
    }
    case 4:
        videoURL = lines[0];
        fileName = FittedFileName(lines[1], NormalizeHeight(lines[2]), lines[3]);
        break;
    case 5:
        if (!needMux)
            return false;
        videoURL = lines[0];
        audioURL = lines[1];
        fileName = FittedFileName(lines[2], NormalizeHeight(lines[3]), lines[4]);
        break;
    default:
        return false;
    }
    if (!MakeSafeFileName(fileName))
        return false;

    media.VideoURL = videoURL;
    media.AudioURL = audioURL;
    media.FileName = fileName;
    return true;
}
