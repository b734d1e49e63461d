#include "KavroTest.h"
#include "Process.h"
#include "SyncWait.h"
#include "SystemLanguage.h"
#include "TestFiles.h"
#include "TestServer.h"
#include "UpdateHttpClient.h"
#include "UpdateProtocol.h"
#include "UpdateSigning.h"
#include "UpdateUnit.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstring>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int32_t Version = 2015073001;

// The main window's side: counts the questions and gives a fixed answer.
class TFakeWindow : public TMessageWindow {
public:
    explicit TFakeWindow(intptr_t answer) : FAnswer(answer) {}
    intptr_t SendMessage(uint32_t message) override {
        Messages.fetch_add(1);
        LastMessage.store(message);
        return FAnswer;
    }
    std::atomic<int> Messages{0};
    std::atomic<uint32_t> LastMessage{0};

private:
    intptr_t FAnswer;
};

struct TStart {
    QString File;
    QStringList Arguments;
};

class UpdaterTest : public testing::Test {
protected:
    void SetUp() override { Server = std::make_unique<TestServer>(Site.path()); }

    TUpdaterEnvironment Environment() {
        TUpdaterEnvironment environment = TUpdaterEnvironment::Default();
        environment.MachineLookup = [](char* first, char* second) {
            strcpy(first, "10.0.0.5");
            strcpy(second, "00:11:22:33:44:55");
            return uint8_t{1};
        };
        environment.PublicKey = TUpdateTestKeys::Get().PublicKey();
        environment.TemporaryFolder = Temp.path();
        environment.InactivityTimeout = std::chrono::seconds(10);
        environment.StartInstaller = [this](const QString& file, const QStringList& arguments) {
            Starts.push_back({file, arguments});
        };
        return environment;
    }

    // The service's answer, naming a package of the site when it has "%1".
    QString Service(const QString& name, const QByteArray& answer) {
        WriteTestFile(Site.filePath(name), answer);
        return Server->Url(QStringLiteral("/files/") + name);
    }

    // Every file the check left in the temporary folder.
    QStringList LeftFiles() const {
        QStringList files;
        QDirIterator it(Temp.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            files.append(it.next());
        return files;
    }

    QTemporaryDir Site;
    QTemporaryDir Temp;
    std::unique_ptr<TestServer> Server;
    std::vector<TStart> Starts; // written by the worker, read after it ended
};

} // namespace

TEST_F(UpdaterTest, OnlyANewerSignedPackageIsSavedAndStartedWhenTheWindowAgrees) {
    const QByteArray installer = "MZP" + PatternBytes(5000);
    const QByteArray good = TUpdateTestKeys::Get().Package(installer);
    QByteArray bodyChanged = good;
    bodyChanged[100] = static_cast<char>(bodyChanged[100] ^ 1);
    QByteArray signatureChanged = good;
    signatureChanged[good.size() - 10] = static_cast<char>(signatureChanged[good.size() - 10] ^ 1);
    struct Case {
        const char* Name;
        QByteArray Version; // the answer's version field
        QByteArray Package;
        intptr_t WindowAnswer = 1;
        bool Asked = true;   // the window got the update message
        bool Started = true; // the installer was started
        bool Exception = false;
        int64_t MaxPackageSize = 256 * 1024 * 1024;
    } const cases[] = {
        {"newer, the window agrees", "2015073002", good},
        {"newer, a download runs", "2015073002", good, 0, true, false},
        {"the same version", "2015073001", good, 1, false, false},
        {"an older version", "2015063001", good, 1, false, false},
        {"a body byte changed", "2015073002", bodyChanged, 1, false, false},
        {"a signature byte changed", "2015073002", signatureChanged, 1, false, false},
        {"no installer", "2015073002", TUpdateTestKeys::Get().Package("MZX" + installer), 1, false,
         false},
        {"too short to hold a signature", "2015073002", "MZP" + PatternBytes(200), 1, false, false,
         true},
        {"larger than any installer", "2015073002", good, 1, false, false, true, 4096},
        {"a version that is no number", "20150730x2", good, 1, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Starts.clear();
        for (const QString& file : LeftFiles())
            QFile::remove(file);
        const QString index = QString::number(&c - cases);
        WriteTestFile(Site.filePath(QStringLiteral("package") + index), c.Package);
        const QString url = Service(
            QStringLiteral("answer") + index,
            "<html>###!" + c.Version +
                Server->Url(QStringLiteral("/files/package") + index).toUtf8() + "!###</html>");
        TFakeWindow window(c.WindowAnswer);
        TUpdaterEnvironment environment = Environment();
        environment.MaxPackageSize = c.MaxPackageSize;
        TZephUpdater updater(Version, 5120, url, "kavro", &window, true, false, environment);
        updater.WaitFor();

        EXPECT_EQ(c.Exception, updater.UpdateException());
        EXPECT_EQ(c.Asked ? 1 : 0, window.Messages.load());
        if (c.Asked) {
            EXPECT_EQ(5120u, window.LastMessage.load());
            // Saved before the question, and it stays whatever the answer.
            ASSERT_FALSE(updater.UpdateFileName().isEmpty());
            EXPECT_TRUE(updater.UpdateFileName().endsWith(QStringLiteral(".tmp.exe")));
            EXPECT_EQ(installer, ReadTestFile(updater.UpdateFileName()));
            struct stat info {};
            ASSERT_EQ(0, stat(QFile::encodeName(updater.UpdateFileName()).constData(), &info));
            EXPECT_EQ(0700u, info.st_mode & 0777) << "the owner's alone, and executable";
        } else {
            EXPECT_TRUE(updater.UpdateFileName().isEmpty());
            EXPECT_TRUE(LeftFiles().isEmpty()) << "a refused package leaves no trace";
        }
        ASSERT_EQ(c.Started ? 1u : 0u, Starts.size());
        if (c.Started) {
            EXPECT_EQ(updater.UpdateFileName(), Starts[0].File);
            EXPECT_EQ(QStringList({QStringLiteral("/SP-"), QStringLiteral("/silent"),
                                   QStringLiteral("/noicons"),
                                   QStringLiteral("/dir=") + ExecutableFolder()}),
                      Starts[0].Arguments);
        }
    }
}

TEST_F(UpdaterTest, AFailedOrEmptyAnswerEndsTheCheckWithoutAnything) {
    struct Case {
        const char* Name;
        QString Url;
        bool Exception;
    } const cases[] = {
        {"the service fails", Server->Url(QStringLiteral("/status/500")), true},
        {"no such script", Server->Url(QStringLiteral("/status/404")), true},
        {"no markers", Service(QStringLiteral("plain"), "no update today"), false},
        {"markers hidden behind a zero byte",
         Service(QStringLiteral("zero"), QByteArray("x\0###!2015073002http://a!###", 28)), false},
        {"an offer without a package address",
         Service(QStringLiteral("noaddress"), "###!2015073002!###"), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TFakeWindow window(1);
        TZephUpdater updater(Version, 5120, c.Url, "kavro", &window, true, false, Environment());
        updater.WaitFor();
        EXPECT_EQ(c.Exception, updater.UpdateException());
        EXPECT_EQ(0, window.Messages.load());
        EXPECT_TRUE(LeftFiles().isEmpty());
    }
}

TEST_F(UpdaterTest, TheRequestNamesTheProgramAndTheMachineDigest) {
    const QByteArray language =
        GetSystemDefaultLangID() == 1042 ? "a2F2cm9fa28%3D" : "a2F2cm9fZW4%3D";
    struct Case {
        bool AddLangSignature;
        QByteArray Program; // its value in the query
        bool UseMainThread; // else the worker makes the client
    } const cases[] = {{true, language, true}, {false, "a2F2cm8%3D", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.AddLangSignature);
        const QString url = Service(QStringLiteral("answer.txt"), "nothing new");
        const qsizetype before = Server->RequestLog().size();
        TZephUpdater updater(Version, 5120, url, "kavro", nullptr, c.UseMainThread,
                             c.AddLangSignature, Environment());
        updater.WaitFor();
        EXPECT_NE(nullptr, updater.HttpClient());
        // MD5 of "10.0.0.5[00:11:22:33:44:55]", upper case, in Base64 made URL-safe.
        EXPECT_TRUE(Server->RequestLog().mid(before).startsWith(
            "GET /files/answer.txt?program=" + c.Program +
            "&q=MDVEREFDRjY5NDYwNTk1QkMyRjg5ODI3MkExNEVFRTg%3D HTTP/1.0\r\n"))
            << Server->RequestLog().mid(before).toStdString();
    }
}

TEST_F(UpdaterTest, NoMachineIdentityMeansNoRequest) {
    const QString url = Service(QStringLiteral("answer.txt"), "nothing new");
    TUpdaterEnvironment environment = Environment();
    environment.MachineLookup = [](char*, char*) {
        return uint8_t{0};
    };
    TZephUpdater updater(Version, 5120, url, "kavro", nullptr, true, true, environment);
    updater.WaitFor();
    EXPECT_FALSE(updater.UpdateException());
    EXPECT_TRUE(Server->RequestLog().isEmpty());
}

TEST_F(UpdaterTest, DestroyingTheUpdaterWaitsForTheWholeCheck) {
    const QByteArray installer = "MZP" + PatternBytes(3000);
    WriteTestFile(Site.filePath(QStringLiteral("package")),
                  TUpdateTestKeys::Get().Package(installer));
    for (const bool useMainThread : {true, false}) {
        SCOPED_TRACE(useMainThread);
        const QString url = Service(
            QStringLiteral("answer.txt"),
            "###!2015073002" + Server->Url(QStringLiteral("/files/package")).toUtf8() + "!###");
        TFakeWindow window(0);
        {
            TZephUpdater updater(Version, 5120, url, "kavro", &window, useMainThread, true,
                                 Environment());
            // Made by the constructing thread when asked for; otherwise the
            // worker makes it, and it is read only once the check has ended.
            if (useMainThread) {
                EXPECT_NE(nullptr, updater.HttpClient());
            }
        }
        // The check ran to its question while the destruction waited (and served it).
        EXPECT_EQ(1, window.Messages.load());
        EXPECT_EQ(1, LeftFiles().filter(QRegularExpression(QStringLiteral("\\.exe$"))).size());
        for (const QString& file : LeftFiles())
            QFile::remove(file);
    }
}

TEST_F(UpdaterTest, TheInstallerRunsDetachedWithTheInstallSwitches) {
    const QString argumentsFile = Temp.filePath(QStringLiteral("arguments"));
    // A shell reads the installer: "MZP=1" is an assignment, the rest records
    // the arguments it was given.
    const QByteArray installer =
        "MZP=1\nprintf '%s\\n' \"$@\" > '" + QFile::encodeName(argumentsFile) + ".new' && mv '" +
        QFile::encodeName(argumentsFile) + ".new' '" + QFile::encodeName(argumentsFile) + "'\n";
    WriteTestFile(Site.filePath(QStringLiteral("package")),
                  TUpdateTestKeys::Get().Package(installer));
    const QString url =
        Service(QStringLiteral("answer.txt"),
                "###!2015073002" + Server->Url(QStringLiteral("/files/package")).toUtf8() + "!###");
    TFakeWindow window(1);
    TUpdaterEnvironment environment = Environment();
    environment.StartInstaller = TUpdaterEnvironment::Default().StartInstaller;
    TZephUpdater updater(Version, 5120, url, "kavro", &window, true, true, environment);
    updater.WaitFor();
    ASSERT_FALSE(updater.UpdateException());

    ASSERT_TRUE(WaitUntil([&] { return QFileInfo::exists(argumentsFile); }));
    EXPECT_EQ("/SP-\n/silent\n/noicons\n/dir=" + QFile::encodeName(ExecutableFolder()) + '\n',
              ReadTestFile(argumentsFile));
}

TEST(InstallerParameters, TheFolderStaysOneArgumentWithItsTrailingSeparator) {
    struct Case {
        QString Folder;
        QString Text;
    } const cases[] = {
        {QStringLiteral("/opt/kavro/"),
         QStringLiteral("/SP- /silent /noicons \"/dir=/opt/kavro/\"")},
        {QStringLiteral("/home/a b/my  kavro/"),
         QStringLiteral("/SP- /silent /noicons \"/dir=/home/a b/my  kavro/\"")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Folder.toStdString());
        EXPECT_EQ(c.Text, InstallerParameters(c.Folder));
        EXPECT_EQ(QStringList({QStringLiteral("/SP-"), QStringLiteral("/silent"),
                               QStringLiteral("/noicons"), QStringLiteral("/dir=") + c.Folder}),
                  SplitParameters(InstallerParameters(c.Folder)));
    }
}

TEST(SaveInstaller, OnlyAFolderOfTheUsersOwnIsEverWrittenTo) {
    struct Case {
        const char* Name;
        std::function<void(const QString& folder)> Prepare; // the user's folder before
        bool Saved;
    } const cases[] = {
        {"a fresh folder", [](const QString&) {}, true},
        {"the user's own folder",
         [](const QString& folder) {
             ASSERT_EQ(0, mkdir(QFile::encodeName(folder).constData(), 0700));
         },
         true},
        {"a folder others can write to",
         [](const QString& folder) {
             ASSERT_EQ(0, mkdir(QFile::encodeName(folder).constData(), 0700));
             ASSERT_EQ(0, chmod(QFile::encodeName(folder).constData(), 0777));
         },
         false},
        {"a link to another folder",
         [](const QString& folder) {
             ASSERT_EQ(0, symlink("/tmp", QFile::encodeName(folder).constData()));
         },
         false},
        {"a file in its place",
         [](const QString& folder) { WriteTestFile(folder, "not a folder"); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        QTemporaryDir temp;
        const QString folder = temp.filePath(QStringLiteral("kavro-") + QString::number(getuid()));
        c.Prepare(folder);
        try {
            const QString saved = SaveInstaller("MZP installer", temp.path());
            EXPECT_TRUE(c.Saved);
            EXPECT_EQ(folder, QFileInfo(saved).path());
            EXPECT_EQ(QByteArray("MZP installer"), ReadTestFile(saved));
            struct stat info {};
            ASSERT_EQ(0, lstat(QFile::encodeName(saved).constData(), &info));
            EXPECT_TRUE(S_ISREG(info.st_mode));
            EXPECT_EQ(0700u, info.st_mode & 0777);
            ASSERT_EQ(0, lstat(QFile::encodeName(folder).constData(), &info));
            EXPECT_EQ(0700u, info.st_mode & 0777);
        } catch (const EUpdateError& error) {
            EXPECT_FALSE(c.Saved) << error.what();
        }
    }
}
