#include "FileNameBytes.h"
#include "KavroTest.h"

namespace {

QString Escaped(const char* text, std::initializer_list<char16_t> escapes) {
    QString name = QString::fromUtf8(text);
    for (const char16_t unit : escapes)
        name += QChar(unit);
    return name;
}

} // namespace

TEST(FileNameBytesTest, DecodesUtf8AsUsualAndKeepsEveryOtherByte) {
    struct Case {
        const char* Name;
        QByteArray Bytes;
        QString Decoded;
    } const cases[] = {
        {"ASCII", "/tmp/clip.mp4", QStringLiteral("/tmp/clip.mp4")},
        {"UTF-8 of two, three and four bytes", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac",
         QString::fromUtf8("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac")},
        {"a Latin-1 letter", "/tmp/caf\xe9/x",
         QString::fromUtf8("/tmp/caf") + QChar(0xDCE9) + QStringLiteral("/x")},
        {"a lone 0xFF", "\xff", Escaped("", {0xDCFF})},
        {"a multibyte sequence cut short", "euro\xe2\x82", Escaped("euro", {0xDCE2, 0xDC82})},
        {"a cut sequence before ASCII", "\xe2\x82x", Escaped("", {0xDCE2, 0xDC82}) + u'x'},
        {"an overlong slash", "\xc0\xaf", Escaped("", {0xDCC0, 0xDCAF})},
        // Bytes that would read as the escapes themselves are escaped in turn.
        {"an encoded surrogate", "\xed\xb3\xa9", Escaped("", {0xDCED, 0xDCB3, 0xDCA9})},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", Escaped("", {0xDCF4, 0xDC90, 0xDC80, 0xDC80})},
        {"an empty name", "", QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString decoded = DecodeFileName(c.Bytes);
        EXPECT_EQ(c.Decoded, decoded);
        EXPECT_EQ(c.Bytes, EncodeFileName(decoded));
    }
}

TEST(FileNameBytesTest, EveryTwoByteNameComesBackUnchanged) {
    for (int first = 0; first < 256; ++first) {
        for (int second = 0; second < 256; ++second) {
            const char bytes[] = {static_cast<char>(first), static_cast<char>(second)};
            const QByteArray name(bytes, 2);
            ASSERT_EQ(name, EncodeFileName(DecodeFileName(name))) << first << ' ' << second;
        }
    }
}

TEST(FileNameBytesTest, OnlyLoneEscapesBecomeRawBytes) {
    struct Case {
        const char* Name;
        QString Text;
        QByteArray Encoded;
    } const cases[] = {
        // U+10080's low half lies in the escape range: the pair still means the character.
        {"a surrogate pair", QString::fromUtf8("\xf0\x90\x82\x80"), "\xf0\x90\x82\x80"},
        {"an escape", Escaped("a", {0xDCE9}), "a\xe9"},
        // No byte stands behind these; they become U+FFFD as Qt would show them.
        {"a lone high surrogate", Escaped("a", {0xD800}) + u'b',
         "a\xef\xbf\xbd"
         "b"},
        {"a low surrogate below the escapes", Escaped("", {0xDC7F}), "\xef\xbf\xbd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(c.Encoded, EncodeFileName(c.Text));
    }
}
