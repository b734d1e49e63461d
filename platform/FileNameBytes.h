#pragma once

#include <QByteArray>
#include <QString>

// File names are bytes to the system and need not be UTF-8 (a folder made
// under a Latin-1 locale, say). Qt decodes such bytes with U+FFFD in their
// place, so a path that went through QFile::decodeName, QDir or QFileInfo
// names another file. These two keep every byte: valid UTF-8 decodes as
// usual, each byte of an invalid sequence becomes the lone surrogate
// U+DC80..U+DCFF, and encoding turns those back into the byte.
//
// EncodeFileName(DecodeFileName(b)) == b for any bytes b. A path decoded here
// must leave only through EncodeFileName (Qt's file classes would re-encode
// it lossily); joined with other text it stays such a path.
QString DecodeFileName(const QByteArray& bytes);
QByteArray EncodeFileName(const QString& name);

// The current folder as DecodeFileName gives it; empty when the system cannot name it.
QString CurrentFolder();
