#include "FileNameBytes.h"

#include <cstdlib>

#include <unistd.h>

namespace {

constexpr char16_t EscapeBase = 0xDC00; // + the byte, which is 0x80 or more
constexpr char16_t FirstEscape = 0xDC80;
constexpr char16_t LastEscape = 0xDCFF;

void AppendUtf8(QByteArray& bytes, char32_t code) {
    if (code < 0x80) {
        bytes += static_cast<char>(code);
    } else if (code < 0x800) {
        bytes += static_cast<char>(0xC0 | (code >> 6));
        bytes += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        bytes += static_cast<char>(0xE0 | (code >> 12));
        bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        bytes += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        bytes += static_cast<char>(0xF0 | (code >> 18));
        bytes += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        bytes += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The length of the valid UTF-8 sequence at `at`, with its code point; 0 when
// the bytes there are no such sequence (overlong forms and encoded surrogates
// included, so that decoding them can never yield an escape by accident).
int ValidSequence(const unsigned char* p, qsizetype at, qsizetype size, char32_t& code) {
    const unsigned char lead = p[at];
    int length = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        least = 0x10000;
    } else {
        return 0;
    }
    if (at + length > size)
        return 0;
    for (int k = 1; k < length; ++k) {
        if ((p[at + k] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (p[at + k] & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

QString DecodeFileName(const QByteArray& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype size = bytes.size();
    QString name;
    name.reserve(size);
    for (qsizetype i = 0; i < size;) {
        if (p[i] < 0x80) {
            name += QChar(static_cast<char16_t>(p[i++]));
            continue;
        }
        char32_t code = 0;
        const int length = ValidSequence(p, i, size, code);
        if (length == 0) {
            name += QChar(static_cast<char16_t>(EscapeBase + p[i++]));
        } else if (QChar::requiresSurrogates(code)) {
            name += QChar(QChar::highSurrogate(code));
            name += QChar(QChar::lowSurrogate(code));
            i += length;
        } else {
            name += QChar(static_cast<char16_t>(code));
            i += length;
        }
    }
    return name;
}

QByteArray EncodeFileName(const QString& name) {
    QByteArray bytes;
    bytes.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t unit = name[i].unicode();
        if (QChar::isHighSurrogate(unit) && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
            AppendUtf8(bytes, QChar::surrogateToUcs4(unit, name[++i].unicode()));
        } else if (unit >= FirstEscape && unit <= LastEscape) {
            bytes += static_cast<char>(unit - EscapeBase);
        } else if (QChar::isSurrogate(unit)) {
            AppendUtf8(bytes, 0xFFFD); // no byte stands behind it
        } else {
            AppendUtf8(bytes, unit);
        }
    }
    return bytes;
}

QString CurrentFolder() {
    char* path = getcwd(nullptr, 0);
    if (!path)
        return {};
    QString folder = DecodeFileName(QByteArray(path));
    free(path);
    return folder;
}
