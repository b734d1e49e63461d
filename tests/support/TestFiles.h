#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <algorithm>
#include <stdexcept>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Small file helpers for tests.
inline void WriteTestFile(const QString& path, const QByteArray& content, bool executable = false) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        throw std::runtime_error("cannot write " + path.toStdString());
    file.close();
    if (executable)
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

inline QByteArray ReadTestFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Bytes that differ at every offset, so a shifted or repeated block shows.
inline QByteArray PatternBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return bytes;
}

// The same on the bytes of a path, past Qt's decoding of file names, which
// would change bytes that are not UTF-8.
inline QByteArray ReadRawFile(const QByteArray& path) {
    QByteArray content;
    const int fd = open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return content;
    char buffer[65536];
    ssize_t count = 0;
    while ((count = read(fd, buffer, sizeof(buffer))) > 0)
        content.append(buffer, count);
    close(fd);
    return content;
}

// The names in a folder, sorted, as the system gives them; empty when it cannot be read.
inline QByteArrayList RawEntries(const QByteArray& folder) {
    QByteArrayList names;
    DIR* dir = opendir(folder.constData());
    if (!dir)
        return names;
    while (const dirent* entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.append(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// A folder made and removed by its bytes: QTemporaryDir cannot remove one whose
// name is not UTF-8. For plain files only.
class TRawFolder {
public:
    explicit TRawFolder(const QByteArray& path) : Path(path) {
        if (mkdir(Path.constData(), 0700) != 0)
            throw std::runtime_error("cannot make " + Path.toStdString());
    }
    ~TRawFolder() {
        for (const QByteArray& name : RawEntries(Path))
            unlink((Path + '/' + name).constData());
        rmdir(Path.constData());
    }
    TRawFolder(const TRawFolder&) = delete;
    TRawFolder& operator=(const TRawFolder&) = delete;

    const QByteArray Path;
};
