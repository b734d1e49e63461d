#include "IniFile.h"

#include "KavroError.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>

#include <cerrno>
#include <cstdint>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class TEncoding { Utf8, Utf8Bom, Utf16Le };

// A file's lines as UTF-8 bytes without their line ends, and how to write them back.
struct TIniLines {
    TEncoding Encoding = TEncoding::Utf8;
    QByteArray LineEnd = "\n";
    QList<QByteArray> Lines;
};

TIniLines SplitLines(const QByteArray& content) {
    TIniLines ini;
    QByteArray text;
    if (content.startsWith("\xEF\xBB\xBF")) {
        ini.Encoding = TEncoding::Utf8Bom;
        text = content.mid(3);
    } else if (content.startsWith("\xFF\xFE")) {
        ini.Encoding = TEncoding::Utf16Le;
        QStringDecoder decoder(QStringDecoder::Utf16LE);
        text = QString(decoder(content.mid(2))).toUtf8();
    } else {
        text = content;
    }
    ini.Lines = text.split('\n');
    if (ini.Lines.size() > 1 && ini.Lines.first().endsWith('\r'))
        ini.LineEnd = "\r\n";
    if (ini.Lines.last().isEmpty())
        ini.Lines.removeLast();
    for (QByteArray& line : ini.Lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return ini;
}

QByteArray JoinLines(const TIniLines& ini) {
    QByteArray text;
    for (const QByteArray& line : ini.Lines)
        text += line + ini.LineEnd;
    switch (ini.Encoding) {
    case TEncoding::Utf8:
        return text;
    case TEncoding::Utf8Bom:
        return "\xEF\xBB\xBF" + text;
    case TEncoding::Utf16Le: {
        QStringEncoder encoder(QStringEncoder::Utf16LE);
        return "\xFF\xFE" + QByteArray(encoder(QString::fromUtf8(text)));
    }
    }
    return text;
}

// The name in a section line ("[name]"), or nothing for any other line.
std::optional<QString> SectionName(const QByteArray& line) {
    const QByteArray trimmed = line.trimmed();
    if (!trimmed.startsWith('['))
        return std::nullopt;
    const qsizetype close = trimmed.indexOf(']');
    return QString::fromUtf8(trimmed.mid(1, close < 0 ? -1 : close - 1).trimmed());
}

bool SameName(const QByteArray& bytes, const QString& name) {
    return QString::fromUtf8(bytes).compare(name, Qt::CaseInsensitive) == 0;
}

// Where a key sits: its section's line range, and its own line (-1 when absent).
struct TKeyPlace {
    qsizetype SectionLine = -1; // -1: no such section
    qsizetype SectionEnd = -1;  // one past the section's last line
    qsizetype KeyLine = -1;
};

TKeyPlace FindKey(const QList<QByteArray>& lines, const QString& section, const QString& key) {
    TKeyPlace place;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const std::optional<QString> name = SectionName(lines[i]);
        if (place.SectionLine >= 0) {
            if (name) {
                place.SectionEnd = i;
                return place;
            }
            const qsizetype equals = lines[i].indexOf('=');
            if (place.KeyLine < 0 && equals >= 0 && SameName(lines[i].left(equals).trimmed(), key))
                place.KeyLine = i;
        } else if (name && name->compare(section, Qt::CaseInsensitive) == 0) {
            place.SectionLine = i;
        }
    }
    if (place.SectionLine >= 0)
        place.SectionEnd = lines.size();
    return place;
}

QString ValueOfLine(const QByteArray& line) {
    QByteArray value = line.mid(line.indexOf('=') + 1).trimmed();
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.mid(1, value.size() - 2);
    QString text = QString::fromUtf8(value);
    if (text.size() > IniValueLimit) {
        // Never leave half of a surrogate pair at the end.
        text.truncate(text.at(IniValueLimit - 1).isHighSurrogate() ? IniValueLimit - 1
                                                                   : IniValueLimit);
    }
    return text;
}

[[noreturn]] void ThrowUnableToWrite(const QString& fileName) {
    throw EKavroError(QStringLiteral("UnableToWrite"), {fileName});
}

// The file's content; empty for a file that does not exist yet.
std::optional<QByteArray> ReadForUpdate(const QString& fileName) {
    QFile file(fileName);
    if (!file.exists())
        return QByteArray();
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

bool WriteAll(int fd, const QByteArray& bytes) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

// Writes a new file beside the old one, flushes it to disk and renames it over
// the old one, then flushes the folder so that the rename itself is durable.
bool ReplaceFile(const QString& fileName, const QByteArray& bytes) {
    // Through a symbolic link, the file it names is replaced and the link stays.
    const QFileInfo info(fileName);
    const QString target = info.isSymLink() ? info.symLinkTarget() : info.absoluteFilePath();
    const QFileInfo targetInfo(target);
    const QByteArray folder = QFile::encodeName(targetInfo.absolutePath());
    QByteArray temporary = folder + "/." + QFile::encodeName(targetInfo.fileName()) + ".XXXXXX";

    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat old {};
    bool ok = WriteAll(fd, bytes);
    if (ok && stat(QFile::encodeName(target).constData(), &old) == 0)
        ok = fchmod(fd, old.st_mode & 07777) == 0;
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temporary.constData(), QFile::encodeName(target).constData()) == 0;
    if (!ok) {
        unlink(temporary.constData());
        return false;
    }
    const int folderFd = open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        fsync(folderFd);
        close(folderFd);
    }
    return true;
}

} // namespace

QString IniReadValue(const QByteArray& content, const QString& section, const QString& key,
                     bool* found) {
    const TIniLines ini = SplitLines(content);
    const TKeyPlace place = FindKey(ini.Lines, section, key);
    if (found)
        *found = place.KeyLine >= 0;
    return place.KeyLine >= 0 ? ValueOfLine(ini.Lines[place.KeyLine]) : QString();
}

bool IniParseInteger(const QString& text, int* value) {
    QString s = text;
    if (s.size() > 2 && s[0] == u'0' && (s[1] == u'x' || s[1] == u'X'))
        s = u'$' + s.mid(2);
    qsizetype i = 0;
    const bool negative = i < s.size() && s[i] == u'-';
    if (i < s.size() && (s[i] == u'-' || s[i] == u'+'))
        ++i;
    const bool hex = i < s.size() && s[i] == u'$';
    if (hex)
        ++i;
    if (i == s.size())
        return false;
    // Hexadecimal text may use all 32 bits ("$FFFFFFFF" is -1); decimal text
    // must fit the signed range.
    const uint64_t limit = hex ? 0xFFFFFFFFu : (negative ? 0x80000000u : 0x7FFFFFFFu);
    uint64_t magnitude = 0;
    for (; i < s.size(); ++i) {
        const char16_t c = s[i].unicode();
        int d = -1;
        if (c >= u'0' && c <= u'9')
            d = c - u'0';
        else if (hex && c >= u'a' && c <= u'f')
            d = c - u'a' + 10;
        else if (hex && c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        if (d < 0)
            return false;
        magnitude = magnitude * (hex ? 16 : 10) + static_cast<uint64_t>(d);
        if (magnitude > limit)
            return false;
    }
    const auto bits = static_cast<uint32_t>(negative ? 0u - static_cast<uint32_t>(magnitude)
                                                     : static_cast<uint32_t>(magnitude));
    *value = static_cast<int32_t>(bits);
    return true;
}

TIniFile::TIniFile(const QString& fileName) : FFileName(fileName) {}

QString TIniFile::ReadString(const QString& section, const QString& key,
                             const QString& defaultValue) const {
    QFile file(FFileName);
    if (!file.open(QIODevice::ReadOnly))
        return defaultValue;
    bool found = false;
    const QString value = IniReadValue(file.readAll(), section, key, &found);
    return found ? value : defaultValue;
}

int TIniFile::ReadInteger(const QString& section, const QString& key, int defaultValue) const {
    int value = 0;
    return IniParseInteger(ReadString(section, key, QString()), &value) ? value : defaultValue;
}

bool TIniFile::ReadBool(const QString& section, const QString& key, bool defaultValue) const {
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

bool TIniFile::ValueExists(const QString& section, const QString& key) const {
    QFile file(FFileName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool found = false;
    IniReadValue(file.readAll(), section, key, &found);
    return found;
}

QByteArray IniWriteValue(const QByteArray& content, const QString& section, const QString& key,
                         const QString& value) {
    TIniLines ini = SplitLines(content);
    // A value is one line: a line break in it would make the rest a line of its own.
    QString oneLine = value;
    oneLine.replace(u'\r', u' ').replace(u'\n', u' ');

    const TKeyPlace place = FindKey(ini.Lines, section, key);
    if (place.KeyLine >= 0) {
        const QByteArray& old = ini.Lines[place.KeyLine];
        const QByteArray line = old.left(old.indexOf('=')).trimmed() + '=' + oneLine.toUtf8();
        if (line == old)
            return content;
        ini.Lines[place.KeyLine] = line;
    } else if (place.SectionLine >= 0) {
        // After the section's last line that is not blank.
        qsizetype at = place.SectionEnd;
        while (at - 1 > place.SectionLine && ini.Lines[at - 1].trimmed().isEmpty())
            --at;
        ini.Lines.insert(at, key.toUtf8() + '=' + oneLine.toUtf8());
    } else {
        if (!ini.Lines.isEmpty() && !ini.Lines.last().trimmed().isEmpty())
            ini.Lines.append(QByteArray());
        ini.Lines.append('[' + section.toUtf8() + ']');
        ini.Lines.append(key.toUtf8() + '=' + oneLine.toUtf8());
    }
    return JoinLines(ini);
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value) const {
    const std::optional<QByteArray> content = ReadForUpdate(FFileName);
    if (!content)
        ThrowUnableToWrite(FFileName);
    const QByteArray updated = IniWriteValue(*content, section, key, value);
    if (updated == *content)
        return; // already on disk as it would be written
    if (!ReplaceFile(FFileName, updated))
        ThrowUnableToWrite(FFileName);
}

void TIniFile::WriteInteger(const QString& section, const QString& key, int value) const {
    WriteString(section, key, QString::number(value));
}

void TIniFile::WriteBool(const QString& section, const QString& key, bool value) const {
    WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}
