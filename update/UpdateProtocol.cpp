#include "UpdateProtocol.h"

#include <QCryptographicHash>

#include <algorithm>
#include <limits>

QByteArray Md5DigestText(const QString& text) {
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex();
}

QByteArray Base64Encode(const QByteArray& bytes) {
    constexpr qsizetype LineLength = 76;
    const QByteArray plain = bytes.toBase64();
    QByteArray result;
    result.reserve(plain.size() + plain.size() / LineLength * 2);
    // The break goes between characters: an output of exactly 76 characters
    // (57 input bytes) ends without one.
    for (qsizetype at = 0; at < plain.size(); at += LineLength) {
        if (at > 0)
            result += "\r\n";
        result += plain.mid(at, LineLength);
    }
    return result;
}

QByteArray UrlEncodeAnsi(const QByteArray& text) {
    // The 8-bit text is read in the system's code page, which is UTF-8 here;
    // the round trip turns an invalid sequence into U+FFFD as a decoder would.
    // Letters, digits, "-", "." and "_" stay by default; "~" does not here.
    return QString::fromUtf8(text).toUtf8().toPercentEncoding("!$'()*@ ", "~").replace(' ', '+');
}

QString ReadUtf8Text(const QByteArray& body) {
    const qsizetype zero = body.indexOf('\0');
    return QString::fromUtf8(zero < 0 ? body : body.left(zero));
}

QByteArray MachineIdentityText(const char* first, const char* second) {
    return QByteArray(first) + '[' + QByteArray(second) + ']';
}

QByteArray MachineDigest(const QByteArray& identityText) {
    return Md5DigestText(QString::fromUtf8(identityText)).toUpper();
}

QString UpdateRequestUrl(const QString& updateUrl, const QByteArray& programName,
                         const QByteArray& machineDigest) {
    const QByteArray query = "program=" + UrlEncodeAnsi(Base64Encode(programName)) +
                             "&q=" + UrlEncodeAnsi(Base64Encode(machineDigest));
    return updateUrl + u'?' + QString::fromLatin1(query);
}

namespace {

// The decimal conversion of the version field: an optional "+" or "-", then
// one or more ASCII digits, nothing else (no blanks, no hexadecimal prefix),
// and a value within the signed 32-bit range.
int32_t VersionNumber(const QString& text) {
    qsizetype at = 0;
    const bool negative = text.startsWith(u'-');
    if (negative || text.startsWith(u'+'))
        at = 1;
    if (at == text.size())
        throw EUpdateError("The offered version is not a number: \"" + text.toStdString() + '"');
    // Accumulated as a negative number so that the lowest value fits too, and
    // held just below the range once it has left it.
    constexpr int64_t OutOfRange = std::numeric_limits<int32_t>::min() - int64_t{1};
    int64_t value = 0;
    for (; at < text.size(); ++at) {
        const char16_t c = text[at].unicode();
        if (c < u'0' || c > u'9')
            throw EUpdateError("The offered version is not a number: \"" + text.toStdString() +
                               '"');
        value = std::max(value * 10 - (c - u'0'), OutOfRange);
    }
    if (!negative)
        value = -value;
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        throw EUpdateError("The offered version does not fit 32 bits: \"" + text.toStdString() +
                           '"');
    return static_cast<int32_t>(value);
}

} // namespace

TUpdateOffer ParseUpdateAnswer(const QString& text, int32_t currentVersion) {
    const QString StartMarker = QStringLiteral("###!");
    const QString EndMarker = QStringLiteral("!###");
    const qsizetype start = text.indexOf(StartMarker);
    if (start < 0)
        return {};
    // The end marker is looked for from one character after the start marker's
    // first character, so "###!###" holds both.
    const qsizetype end = text.indexOf(EndMarker, start + 1);
    if (end < 0)
        return {};
    const qsizetype innerLength = end - start - StartMarker.size();
    const QString inner =
        innerLength > 0 ? text.mid(start + StartMarker.size(), innerLength) : QString();
    const int32_t offered = VersionNumber(inner.left(10));
    TUpdateOffer offer;
    if (offered > currentVersion) {
        offer.Newer = true;
        offer.PackageUrl = inner.mid(10);
    }
    return offer;
}
