#include "ConfigurationUnit.h"

#include "IniFile.h"
#include "PathUtils.h"

#include <QFile>

#include <cerrno>

#include <sys/stat.h>

QString GetConfigFilePath() {
    const QString base = GetSpecialFolder(5);
    // A fresh account may not have its configuration folder yet; the XDG rules
    // say to create it (mode 0700) rather than give up on it. Its parent, the home
    // folder, is never made up.
    if (!base.isEmpty())
        mkdir(QFile::encodeName(base).constData(), 0700);
    const QString folder = base + QStringLiteral("Kavro");
    if (mkdir(QFile::encodeName(folder).constData(), 0777) == 0 || errno != ENOENT)
        return folder + QStringLiteral("/Config.ini");
    return GetExeFolder() + QStringLiteral("Config.ini");
}

QString ReadConfigString(const QString& section, const QString& key, const QString& defaultValue) {
    return TIniFile(GetConfigFilePath()).ReadString(section, key, defaultValue);
}

void WriteConfigString(const QString& section, const QString& key, const QString& value) {
    TIniFile(GetConfigFilePath()).WriteString(section, key, value);
}

int ReadConfigInteger(const QString& section, const QString& key, int defaultValue) {
    return TIniFile(GetConfigFilePath()).ReadInteger(section, key, defaultValue);
}

void WriteConfigInteger(const QString& section, const QString& key, int value) {
    TIniFile(GetConfigFilePath()).WriteInteger(section, key, value);
}
