#include "UpdateProtocol.h"
#include "HostId.h"
#include "KavroTest.h"

#include <QRegularExpression>

#include <arpa/inet.h>

#include <cstring>
#include <optional>

namespace {

// RFC 1321, appendix A.5.
struct TMd5Case {
    const char* Input;
    const char* Digest;
};
const TMd5Case Md5Suite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(UpdateProtocol, Md5DigestTextFollowsRfc1321InBothCases) {
    for (const TMd5Case& row : Md5Suite) {
        SCOPED_TRACE(row.Input);
        EXPECT_EQ(Md5DigestText(QString::fromLatin1(row.Input)), QByteArray(row.Digest));
        EXPECT_EQ(MachineDigest(QByteArray(row.Input)), QByteArray(row.Digest).toUpper());
    }
}

TEST(UpdateProtocol, Md5DigestTextHashesTheUtf8Bytes) {
    EXPECT_EQ(Md5DigestText(QStringLiteral("é")), QByteArray("66ddcd97cfdeabb2f6fb8a999b4bc76f"));
    EXPECT_EQ(MachineDigest(QStringLiteral("é").toUtf8()),
              QByteArray("66DDCD97CFDEABB2F6FB8A999B4BC76F"));
}

TEST(UpdateProtocol, MachineIdentityJoinsBothTexts) {
    EXPECT_EQ(MachineIdentityText("192.168.1.10", "02:fc:00:00:00:01"),
              QByteArray("192.168.1.10[02:fc:00:00:00:01]"));
    EXPECT_EQ(MachineDigest(MachineIdentityText("192.168.1.10", "02:fc:00:00:00:01")),
              QByteArray("1FE7BC002A3845DB135D0539089CE137"));
}

QByteArray Repeat(const char* piece, int times) {
    return QByteArray(piece).repeated(times);
}

TEST(UpdateProtocol, Base64EncodeFollowsRfc4648AndBreaksLongLines) {
    const struct {
        QByteArray Input;
        QByteArray Encoded;
    } rows[] = {
        // RFC 4648, section 10.
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {QByteArray("\xfb\xff\xbf", 3), "+/+/"},
        // The lengths the update request uses: 12 and 44 characters.
        {"kavro_en", "a2F2cm9fZW4="},
        {"900150983CD24FB0D6963F7D28E17F72", "OTAwMTUwOTgzQ0QyNEZCMEQ2OTYzRjdEMjhFMTdGNzI="},
        // 57 bytes fill one 76-character line exactly: no break after it.
        {QByteArray(57, 'a'), Repeat("YWFh", 19)},
        {QByteArray(58, 'a'), Repeat("YWFh", 19) + "\r\nYQ=="},
        {QByteArray(114, 'a'), Repeat("YWFh", 19) + "\r\n" + Repeat("YWFh", 19)},
        {QByteArray(115, 'a'), Repeat("YWFh", 19) + "\r\n" + Repeat("YWFh", 19) + "\r\nYQ=="},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Input.size());
        EXPECT_EQ(Base64Encode(row.Input), row.Encoded);
    }
}

TEST(UpdateProtocol, UrlEncodeAnsiKeepsOnlyItsCharacterSet) {
    const struct {
        QByteArray Input;
        QByteArray Encoded;
    } rows[] = {
        {"ABCXYZabcxyz0189", "ABCXYZabcxyz0189"},
        {"!$'()*-.@_", "!$'()*-.@_"},
        {" ", "+"},
        {"+", "%2B"},
        {"/", "%2F"},
        {"=", "%3D"},
        {"\r\n", "%0D%0A"},
        {"~#&?%:;,\"<>[]^`{|}\x7f", "%7E%23%26%3F%25%3A%3B%2C%22%3C%3E%5B%5D%5E%60%7B%7C%7D%7F"},
        {QByteArray("a\0b", 3), "a%00b"},
        {"\xc3\xa9", "%C3%A9"},               // é
        {"\xe2\x82\xac", "%E2%82%AC"},        // €
        {"\xf0\x9f\x98\x80", "%F0%9F%98%80"}, // beyond the 16-bit range
        {"\xff", "%EF%BF%BD"},                // no UTF-8: read as U+FFFD
        {"a2F2cm9fZW4=\r\nYQ==", "a2F2cm9fZW4%3D%0D%0AYQ%3D%3D"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Input.toStdString());
        EXPECT_EQ(UrlEncodeAnsi(row.Input), row.Encoded);
    }
}

TEST(UpdateProtocol, UpdateRequestUrlCarriesProgramAndDigest) {
    const QByteArray digest = MachineDigest("abc");
    ASSERT_EQ(digest, QByteArray("900150983CD24FB0D6963F7D28E17F72"));
    EXPECT_EQ(UpdateRequestUrl(QStringLiteral("http://update.example/update/zephupdate.php"),
                               "kavro_en", digest),
              QStringLiteral("http://update.example/update/zephupdate.php"
                             "?program=a2F2cm9fZW4%3D"
                             "&q=OTAwMTUwOTgzQ0QyNEZCMEQ2OTYzRjdEMjhFMTdGNzI%3D"));
    EXPECT_EQ(
        UpdateRequestUrl(QStringLiteral("http://h/u.php"), "kavro_ko", digest).section(u'&', 0, 0),
        QStringLiteral("http://h/u.php?program=a2F2cm9fa28%3D"));
}

TEST(UpdateProtocol, ReadUtf8TextStopsAtTheFirstZeroByte) {
    EXPECT_EQ(ReadUtf8Text(QByteArray()), QString());
    EXPECT_EQ(ReadUtf8Text("ab\xc3\xa9"), QStringLiteral("abé"));
    EXPECT_EQ(ReadUtf8Text(QByteArray("ab\0cd", 5)), QStringLiteral("ab"));
    EXPECT_EQ(ReadUtf8Text(QByteArray("\0ab", 3)), QString());
}

constexpr int32_t Running = 2015073001;

struct TAnswerCase {
    const char* Name;
    QByteArray Body;
    bool Throws = false;
    bool Newer = false;
    QString PackageUrl;
    int32_t Current = Running;
};

TEST(UpdateProtocol, ParseUpdateAnswerReadsMarkersAndVersion) {
    const TAnswerCase rows[] = {
        {"empty body", "", false, false, {}},
        {"no markers", "<html>nothing new</html>", false, false, {}},
        {"start marker only", "###!2015073002http://h/p.exe", false, false, {}},
        {"zero byte hides the markers",
         QByteArray("x\0###!2015073002http://h/p.exe!###", 34),
         false,
         false,
         {}},
        {"markers overlap, inner text empty", "###!###", true, false, {}},
        {"equal version", "<p>###!2015073001http://h/p.exe!###</p>", false, false, {}},
        {"greater version", "<p>###!2015073002http://h/p.exe!###</p>", false, true,
         QStringLiteral("http://h/p.exe")},
        {"package URL taken as it stands", "###!2015073002 http://h/a%20b\xc3\xbc.exe !###", false,
         true, QStringLiteral(" http://h/a%20bü.exe ")},
        {"first markers count", "###!2015073002a!######!2015073003b!###", false, true,
         QStringLiteral("a")},
        {"end marker before the start marker is skipped", "x!###!2015073002u!###", false, true,
         QStringLiteral("u")},
        {"inner text of exactly 10 characters", "###!2015073002!###", false, true, {}},
        {"largest 32-bit version", "###!2147483647u!###", false, true, QStringLiteral("u"),
         2147483646},
        {"version over 2147483647", "###!2147483648http://h/p.exe!###", true, false, {}},
        {"version far over the range", "###!9999999999http://h/p.exe!###", true, false, {}},
        {"short version", "###!123!###", false, false, {}},
        {"short version, newer", "###!123!###", false, true, {}, 122},
        {"signed version", "###!+201507300!###", false, true, {}, 201507299},
        {"negative version", "###!-000000001u!###", false, false, {}},
        {"negative version, newer", "###!-000000001u!###", false, true, QStringLiteral("u"), -2},
        {"sign only", "###!-!###", true, false, {}},
        {"leading blank", "###! 201507300!###", true, false, {}},
        {"trailing blank", "###!201507300 !###", true, false, {}},
        {"hexadecimal", "###!0x7FFFFFFFu!###", true, false, {}},
        {"letters", "###!abcdefghijhttp://h/p.exe!###", true, false, {}},
        {"full-width digits", "###!\xef\xbc\x91\xef\xbc\x92!###", true, false, {}},
    };
    for (const TAnswerCase& row : rows) {
        SCOPED_TRACE(row.Name);
        const QString text = ReadUtf8Text(row.Body);
        if (row.Throws) {
            EXPECT_THROW(ParseUpdateAnswer(text, row.Current), EUpdateError);
            continue;
        }
        const TUpdateOffer offer = ParseUpdateAnswer(text, row.Current);
        EXPECT_EQ(offer.Newer, row.Newer);
        EXPECT_EQ(offer.PackageUrl, row.PackageUrl);
    }
}

// The machine may or may not have a private default route; whichever it is,
// the answer keeps its contract and never writes past the 256 bytes.
TEST(HostId, GetActivePrivateIPAddressKeepsItsContract) {
    constexpr size_t Size = 256, Guard = 64;
    char first[Size + Guard], second[Size + Guard];
    std::memset(first, 0, Size);
    std::memset(second, 0, Size);
    std::memset(first + Size, 0x5A, Guard);
    std::memset(second + Size, 0x5A, Guard);

    const uint8_t result = GetActivePrivateIPAddress(first, second);

    ASSERT_TRUE(result == 0 || result == 1) << int(result);
    for (const char* buffer : {first, second}) {
        EXPECT_LT(strnlen(buffer, Size), Size);
        for (size_t at = Size; at < Size + Guard; ++at)
            ASSERT_EQ(buffer[at], 0x5A) << "written past the buffer at " << at;
    }
    if (result == 1) {
        in_addr address{};
        ASSERT_EQ(inet_pton(AF_INET, first, &address), 1) << first;
        const uint32_t host = ntohl(address.s_addr);
        EXPECT_TRUE((host >> 24) == 10 || (host >> 20) == 0xAC1 || (host >> 16) == 0xC0A8) << first;
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9a-f]{2}(:[0-9a-f]{2}){5}$"))
                        .match(QString::fromLatin1(second))
                        .hasMatch())
            << second;
    }
}

} // namespace
