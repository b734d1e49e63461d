#pragma once

#include "GlobalLanguage.h"
#include "KavroTest.h"
#include "TestFiles.h"

#include <QDir>
#include <QTemporaryDir>

// A user of their own for each test: the configuration folder and the language
// folder live in a temporary folder, and the language is undetermined again.
class SettingsTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Home.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(Home.filePath(QStringLiteral("config"))));
        qputenv("KAVRO_LANGUAGE_DIR", QFile::encodeName(LanguageDir()));
        QDir().mkpath(LanguageDir());
        ResetLanguageCache();
    }
    void TearDown() override {
        qunsetenv("XDG_CONFIG_HOME");
        qunsetenv("KAVRO_LANGUAGE_DIR");
        ResetLanguageCache();
    }

    QString ConfigFile() const { return Home.filePath(QStringLiteral("config/Kavro/Config.ini")); }
    void WriteConfig(const QByteArray& content) const {
        QDir().mkpath(Home.filePath(QStringLiteral("config/Kavro")));
        WriteTestFile(ConfigFile(), content);
    }
    QString LanguageDir() const { return Home.filePath(QStringLiteral("language")); }
    void WriteLanguage(const QString& name, const QByteArray& content) const {
        WriteTestFile(LanguageDir() + u'/' + name, content);
    }

    QTemporaryDir Home;
};
