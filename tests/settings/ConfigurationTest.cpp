#include "ConfigurationUnit.h"
#include "KavroError.h"
#include "PathUtils.h"
#include "SettingsFixture.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

// Sets an environment variable for one scope, and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray* value) : FName(name) {
        FHad = qEnvironmentVariableIsSet(name);
        FOld = qgetenv(name);
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }
    ~ScopedEnv() {
        if (FHad)
            qputenv(FName, FOld);
        else
            qunsetenv(FName);
    }

private:
    const char* FName;
    bool FHad = false;
    QByteArray FOld;
};

using ConfigurationTest = SettingsTest;

TEST_F(ConfigurationTest, SpecialFoldersFollowTheXdgFolders) {
    const QByteArray home = QFile::encodeName(Home.path());
    const ScopedEnv homeEnv("HOME", &home);
    const QByteArray config = home + "/cfg";
    const QByteArray data = home + "/data/";
    const QByteArray temp = "/var/tmp/";
    const QByteArray relative = "relative/path";
    // Qt takes the documents and media folders from user-dirs.dirs.
    QDir().mkpath(Home.filePath(QStringLiteral("cfg")));
    WriteTestFile(Home.filePath(QStringLiteral("cfg/user-dirs.dirs")),
                  "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\nXDG_VIDEOS_DIR=\"$HOME/Films\"\n");
    const QString h = Home.path();
    struct Case {
        const char* Name;
        int Kind;
        const QByteArray* Config;
        const QByteArray* Data;
        const QByteArray* Temp;
        QString Expected;
    } const cases[] = {
        {"configuration", 5, &config, &data, &temp, h + QStringLiteral("/cfg/")},
        {"relative XDG value ignored", 5, &relative, &data, &temp, h + QStringLiteral("/.config/")},
        {"no variable", 5, nullptr, nullptr, &temp, h + QStringLiteral("/.config/")},
        {"data, separator not doubled", 16, &config, &data, &temp, h + QStringLiteral("/data/")},
        {"data default", 16, &config, nullptr, &temp, h + QStringLiteral("/.local/share/")},
        {"temporary", 19, &config, &data, &temp, QStringLiteral("/var/tmp/")},
        {"temporary default", 19, &config, &data, nullptr, QStringLiteral("/tmp/")},
        {"documents", 4, &config, &data, &temp, h + QStringLiteral("/Docs/")},
        {"videos", 29, &config, &data, &temp, h + QStringLiteral("/Films/")},
        {"Windows folder", 17, &config, &data, &temp, QString()},
        {"system drive", 20, &config, &data, &temp, QString()},
        {"program files", 21, &config, &data, &temp, QString()},
        {"beyond the table", 30, &config, &data, &temp, QString()},
        {"highest kind", 255, &config, &data, &temp, QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const ScopedEnv configEnv("XDG_CONFIG_HOME", c.Config);
        const ScopedEnv dataEnv("XDG_DATA_HOME", c.Data);
        const ScopedEnv tempEnv("TMPDIR", c.Temp);
        EXPECT_EQ(c.Expected, GetSpecialFolder(static_cast<uint8_t>(c.Kind)));
    }
}

TEST_F(ConfigurationTest, ExeFolderIsTheFolderOfThisProgram) {
    EXPECT_EQ(QCoreApplication::applicationDirPath() + u'/', GetExeFolder());
}

TEST_F(ConfigurationTest, AFreshUsersConfigurationAppearsWhereItBelongs) {
    // Not even the configuration folder exists yet on a fresh account.
    const QString base = Home.filePath(QStringLiteral("config"));
    ASSERT_FALSE(QFileInfo::exists(base));
    EXPECT_EQ(ConfigFile(), GetConfigFilePath());
    struct stat info {};
    ASSERT_EQ(0, stat(QFile::encodeName(base).constData(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777);
    EXPECT_TRUE(QFileInfo(Home.filePath(QStringLiteral("config/Kavro"))).isDir());

    WriteConfigString(QStringLiteral("frmMain"), QStringLiteral("YoutubeQualityExt"),
                      QStringLiteral("mp4"));
    WriteConfigInteger(QStringLiteral("TfrmMain"), QStringLiteral("Left"), 0x10);
    EXPECT_EQ(QByteArray("[frmMain]\nYoutubeQualityExt=mp4\n\n[TfrmMain]\nLeft=16\n"),
              ReadTestFile(ConfigFile()));
    EXPECT_EQ(QStringLiteral("mp4"),
              ReadConfigString(QStringLiteral("FRMMAIN"), QStringLiteral("youtubequalityext"),
                               QString()));
    EXPECT_EQ(16, ReadConfigInteger(QStringLiteral("TfrmMain"), QStringLiteral("Left"), 0));
    EXPECT_EQ(7, ReadConfigInteger(QStringLiteral("TfrmMain"), QStringLiteral("Top"), 7));
}

TEST_F(ConfigurationTest, FolderProblemsPickTheFallbackOrFailTheWrite) {
    // The parent path is missing (a home folder that does not exist): the file
    // beside the executable serves instead, and nothing is made up.
    const QByteArray missing = QFile::encodeName(Home.filePath(QStringLiteral("gone/config")));
    {
        const ScopedEnv configEnv("XDG_CONFIG_HOME", &missing);
        EXPECT_EQ(GetExeFolder() + QStringLiteral("Config.ini"), GetConfigFilePath());
        EXPECT_FALSE(QFileInfo::exists(Home.filePath(QStringLiteral("gone"))));
    }

    // "Kavro" exists but is no folder: the path stays, reads give defaults and
    // writes fail with the path.
    QDir().mkpath(Home.filePath(QStringLiteral("config")));
    WriteTestFile(Home.filePath(QStringLiteral("config/Kavro")), "a file");
    EXPECT_EQ(ConfigFile(), GetConfigFilePath());
    EXPECT_EQ(5, ReadConfigInteger(QStringLiteral("S"), QStringLiteral("K"), 5));
    try {
        WriteConfigInteger(QStringLiteral("S"), QStringLiteral("K"), 1);
        ADD_FAILURE() << "no error";
    } catch (const EKavroError& error) {
        EXPECT_EQ(KavroMessage(QStringLiteral("UnableToWrite"), {ConfigFile()}),
                  ErrorMessage(error));
    }
}

} // namespace
