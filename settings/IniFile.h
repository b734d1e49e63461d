#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// An INI file addressed by its path, read and written one value per call with
// the rules of the Windows profile functions that stored files rely on:
// - section and key names match without regard to letter case, and the first
//   match counts;
// - a value is read with blanks around it and one pair of enclosing quotation
//   marks (" or ') dropped, and at most 2047 characters of it;
// - "0x.." (longer than two characters) and "$.." read as hexadecimal integers;
//   booleans are integers, any value other than 0 being true;
// - every write reaches the disk before it returns, and replaces the file as a
//   whole (a crash, a kill or a full disk leaves the old file or the new one,
//   never a torn one). A failed write throws EKavroError with the message
//   "UnableToWrite" and the path ("Unable to write to <path>" in English).
// Files are UTF-8 (with or without a byte-order mark); a UTF-16LE file with a
// byte-order mark is read too, and kept in that encoding when written.
class TIniFile {
public:
    explicit TIniFile(const QString& fileName);

    const QString& FileName() const { return FFileName; }

    QString ReadString(const QString& section, const QString& key,
                       const QString& defaultValue) const;
    int ReadInteger(const QString& section, const QString& key, int defaultValue) const;
    bool ReadBool(const QString& section, const QString& key, bool defaultValue) const;
    bool ValueExists(const QString& section, const QString& key) const;

    void WriteString(const QString& section, const QString& key, const QString& value) const;
    void WriteInteger(const QString& section, const QString& key, int value) const;
    void WriteBool(const QString& section, const QString& key, bool value) const;

private:
    QString FFileName;
};

// The longest value a read returns, in UTF-16 code units.
inline constexpr int IniValueLimit = 2047;

// The reading rules on a file's bytes, for callers that hold the content
// already (and for the fuzz target). `found` tells whether the key is present.
QString IniReadValue(const QByteArray& content, const QString& section, const QString& key,
                     bool* found = nullptr);

// The content with one value written: the key's line replaced in place, or
// the key added at the end of its section, or the section added at the end.
// The content comes back unchanged when the key already holds the value.
QByteArray IniWriteValue(const QByteArray& content, const QString& section, const QString& key,
                         const QString& value);

// Integer text as a read interprets it; false when it does not parse.
bool IniParseInteger(const QString& text, int* value);
