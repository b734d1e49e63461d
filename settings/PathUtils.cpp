#include "PathUtils.h"

#include "Process.h"

#include <QDir>
#include <QStandardPaths>

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace {

QString HomeFolder() {
    const QString home = qEnvironmentVariable("HOME");
    if (QDir::isAbsolutePath(home))
        return home;
    // A session without HOME (some service managers) still has a password entry.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir)
        return QFile::decodeName(found->pw_dir);
    return {};
}

// An XDG base folder: the variable when it holds an absolute path (the XDG rules
// say to ignore a relative one), else the default below the home folder.
QString XdgFolder(const char* variable, const QString& defaultBelowHome) {
    const QString value = qEnvironmentVariable(variable);
    if (QDir::isAbsolutePath(value))
        return value;
    const QString home = HomeFolder();
    return home.isEmpty() ? QString() : home + u'/' + defaultBelowHome;
}

// The user folders that Qt reads from the XDG user-dirs.dirs file.
struct TUserFolder {
    uint8_t Kind;
    QStandardPaths::StandardLocation Location;
};
constexpr TUserFolder UserFolders[] = {
    {0, QStandardPaths::DesktopLocation}, {4, QStandardPaths::DocumentsLocation},
    {27, QStandardPaths::MusicLocation},  {28, QStandardPaths::PicturesLocation},
    {29, QStandardPaths::MoviesLocation},
};

} // namespace

QString GetSpecialFolder(uint8_t kind) {
    QString result;
    for (const TUserFolder& folder : UserFolders) {
        if (folder.Kind == kind)
            result = QStandardPaths::writableLocation(folder.Location);
    }
    switch (kind) {
    case 5:
        result = XdgFolder("XDG_CONFIG_HOME", QStringLiteral(".config"));
        break;
    case 16:
        result = XdgFolder("XDG_DATA_HOME", QStringLiteral(".local/share"));
        break;
    case 19: {
        const QString temp = qEnvironmentVariable("TMPDIR");
        result = QDir::isAbsolutePath(temp) ? temp : QStringLiteral("/tmp");
        break;
    }
    default:
        break;
    }
    if (!result.isEmpty() && !result.endsWith(u'/'))
        result += u'/';
    return result;
}

QString GetExeFolder() {
    return ExecutableFolder();
}
