#pragma once

#include <QString>

// The per-user settings file "Config.ini", addressed by its path on every
// access; nothing is kept in memory between calls.

// "<configuration folder>/Kavro/Config.ini", creating the folders that are
// missing; beside the executable when the folder cannot be made because its
// parent path does not exist. Never empty.
QString GetConfigFilePath();

QString ReadConfigString(const QString& section, const QString& key, const QString& defaultValue);
void WriteConfigString(const QString& section, const QString& key, const QString& value);
int ReadConfigInteger(const QString& section, const QString& key, int defaultValue);
void WriteConfigInteger(const QString& section, const QString& key, int value);
