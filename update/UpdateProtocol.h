#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <stdexcept>

// A failure of the update check: a request that failed, a version that is no
// number, a package too short to split. Never shown to the user.
class EUpdateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The MD5 digest (RFC 1321) of the text's UTF-8 bytes, as 32 lower-case
// hexadecimal digits.
QByteArray Md5DigestText(const QString& text);

// Base64 (RFC 4648, standard alphabet, "=" padding) with CR LF after every 76
// output characters.
QByteArray Base64Encode(const QByteArray& bytes);

// Letters, digits and ! $ ' ( ) * - . @ _ stay; a space becomes "+"; every
// other character below 128 becomes %XX; others become their UTF-8 bytes as %XX
// (upper-case hexadecimal). The 8-bit text is read in the system's code page
// (UTF-8 here).
QByteArray UrlEncodeAnsi(const QByteArray& text);

// The body up to its first zero byte, decoded as UTF-8.
QString ReadUtf8Text(const QByteArray& body);

// "first[second]" from the two texts the machine lookup wrote.
QByteArray MachineIdentityText(const char* first, const char* second);

// The upper-case MD5 digest text of the machine identity text.
QByteArray MachineDigest(const QByteArray& identityText);

// updateUrl "?program=" UrlEncodeAnsi(Base64(programName)) "&q="
// UrlEncodeAnsi(Base64(machineDigest)).
QString UpdateRequestUrl(const QString& updateUrl, const QByteArray& programName,
                         const QByteArray& machineDigest);

struct TUpdateOffer {
    bool Newer = false; // the offered version is greater than the running one
    QString PackageUrl; // when Newer: the inner text after its first 10 characters
};

// Finds "###!" and then "!###" (searched from one character after the start
// marker, so they may overlap) and reads the version from the first 10
// characters between them. No markers, or a version not greater than
// currentVersion, gives Newer false. Throws EUpdateError when those characters
// are not a decimal number that fits a signed 32-bit integer.
TUpdateOffer ParseUpdateAnswer(const QString& text, int32_t currentVersion);
