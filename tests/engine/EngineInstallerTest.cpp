#include "EngineInstaller.h"
#include "KavroError.h"
#include "KavroTest.h"
#include "Process.h"
#include "SigningKey.h"
#include "SyncWait.h"
#include "TestFiles.h"
#include "TestServer.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>

#include <thread>

namespace {

class EngineInstallerTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        Maintainers = new TSigningKey;
        Stranger = new TSigningKey;
    }
    static void TearDownTestSuite() {
        delete Maintainers;
        delete Stranger;
    }

    void SetUp() override {
        QDir().mkpath(Release());
        Server = std::make_unique<TestServer>(Site.path());
        Options.EngineFolder = Home.filePath(QStringLiteral("data/kavro/engine"));
        Options.ExtractorReleases = Server->Url(QStringLiteral("/tree/release/"));
        Options.ExtractorKey = Maintainers->PublicKey();
        Options.RuntimeReleases = Server->Url(QStringLiteral("/tree/runtime/"));
    }

    QString Release(const QString& name = {}) const {
        return Site.filePath(QStringLiteral("release/") + name);
    }
    // A stand-in extractor of the given version as the maintainers publish it:
    // the program, and the signed list of checksums.
    QByteArray Publish(const QString& version, const QStringList& extraEntries = {}) {
        const QString main = Site.filePath(QStringLiteral("__main__.py"));
        WriteTestFile(main, "import sys\nprint('" + version.toUtf8() +
                                "' if '--version' in sys.argv else 'answer')\n");
        RunChecked(QStringList{QStringLiteral("/usr/bin/python3"), MakeZipScript(),
                               Release(QStringLiteral("yt-dlp")), QStringLiteral("--shebang"),
                               QStringLiteral("__main__.py=") + main} +
                   extraEntries);
        const QByteArray program = ReadTestFile(Release(QStringLiteral("yt-dlp")));
        SignSums("0123  yt-dlp.exe\n" + Sha256(program) + "  yt-dlp\n");
        return program;
    }
    void SignSums(const QByteArray& sums, const TSigningKey* key = nullptr) const {
        WriteTestFile(Release(QStringLiteral("SHA2-256SUMS")), sums);
        (key ? key : Maintainers)
            ->Sign(Release(QStringLiteral("SHA2-256SUMS")),
                   Release(QStringLiteral("SHA2-256SUMS.sig")));
    }

    QString Current(const char* kind) const {
        return QFileInfo(Options.EngineFolder + u'/' + QString::fromLatin1(kind) +
                         QStringLiteral("/current"))
            .canonicalFilePath();
    }
    // Everything below the home folder, so that a stray file shows.
    QStringList Tree() const {
        QStringList files;
        QDirIterator it(Home.path(), QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!path.contains(QStringLiteral("/__pycache__")))
                files.append(path.mid(Home.path().size()));
        }
        files.sort();
        return files;
    }
    QString RefusalOf(TInstallOutcome (*update)(const TEngineInstallOptions&)) const {
        try {
            update(Options);
        } catch (const EKavroError& error) {
            return ErrorMessage(error).section(MessageArgumentSeparator, 0, 0);
        }
        return QStringLiteral("accepted");
    }

    static inline TSigningKey* Maintainers = nullptr;
    static inline TSigningKey* Stranger = nullptr;
    QTemporaryDir Home;
    QTemporaryDir Site;
    std::unique_ptr<TestServer> Server;
    TEngineInstallOptions Options;
};

TEST_F(EngineInstallerTest, AVerifiedExtractorIsInstalledOnceAndKeepsOneRollback) {
    Publish(QStringLiteral("2099.01.02"));
    TInstallOutcome outcome = UpdateExtractor(Options);
    EXPECT_TRUE(outcome.Changed);
    EXPECT_EQ(QStringLiteral("2099.01.02"), outcome.Version);
    const QString first = Current("extractor");
    EXPECT_TRUE(first.endsWith(QStringLiteral("/extractor/2099.01.02")));
    EXPECT_EQ(QByteArray("2099.01.02\n"),
              RunChecked({QStringLiteral("python3"), first, QStringLiteral("--version")}));
    EXPECT_EQ(QStringLiteral("2099.01.02"),
              ManagedVersion(Options.EngineFolder, QStringLiteral("extractor")));

    // The same release again: the signed sums show it is in place; the program
    // itself is not fetched again.
    const int fetched = Server->RequestLog().count("GET /tree/release/yt-dlp ");
    outcome = UpdateExtractor(Options);
    EXPECT_FALSE(outcome.Changed);
    EXPECT_EQ(fetched, Server->RequestLog().count("GET /tree/release/yt-dlp "));

    // An older release is never installed over a newer one.
    Publish(QStringLiteral("2098.12.31"));
    EXPECT_FALSE(UpdateExtractor(Options).Changed);
    EXPECT_EQ(first, Current("extractor"));

    Publish(QStringLiteral("2099.02.03"));
    EXPECT_TRUE(UpdateExtractor(Options).Changed);
    Publish(QStringLiteral("2099.03.04"));
    EXPECT_TRUE(UpdateExtractor(Options).Changed);
    EXPECT_TRUE(Current("extractor").endsWith(QStringLiteral("/2099.03.04")));
    EXPECT_EQ(QStringList({QStringLiteral("2099.02.03"), QStringLiteral("2099.03.04"),
                           QStringLiteral("current")}),
              QDir(Options.EngineFolder + QStringLiteral("/extractor"))
                  .entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name))
        << "the version before stays for a rollback, older ones and attempts go";
}

TEST_F(EngineInstallerTest, EveryTamperedReleaseIsRefusedWithoutATrace) {
    struct Case {
        const char* Name;
        std::function<void()> Tamper;
        const char* Refusal;
    } const cases[] = {
        {"sums changed after signing",
         [&] {
             const QByteArray program = Publish(QStringLiteral("2099.01.02"));
             WriteTestFile(Release(QStringLiteral("SHA2-256SUMS")),
                           Sha256(program + 'x') + "  yt-dlp\n");
         },
         "EngineSignatureRefused"},
        {"signed with another key",
         [&] {
             const QByteArray program = Publish(QStringLiteral("2099.01.02"));
             SignSums(Sha256(program) + "  yt-dlp\n", Stranger);
         },
         "EngineSignatureRefused"},
        {"no signature",
         [&] {
             Publish(QStringLiteral("2099.01.02"));
             QFile::remove(Release(QStringLiteral("SHA2-256SUMS.sig")));
         },
         "EngineDownloadFailed"},
        {"program bytes changed",
         [&] {
             QByteArray program = Publish(QStringLiteral("2099.01.02"));
             program[program.size() / 2] = static_cast<char>(program[program.size() / 2] ^ 1);
             WriteTestFile(Release(QStringLiteral("yt-dlp")), program);
         },
         "EngineDigestMismatch"},
        {"program truncated",
         [&] {
             const QByteArray program = Publish(QStringLiteral("2099.01.02"));
             WriteTestFile(Release(QStringLiteral("yt-dlp")), program.left(program.size() / 2));
         },
         "EngineDigestMismatch"},
        {"sums without the program",
         [&] {
             Publish(QStringLiteral("2099.01.02"));
             SignSums("0123  yt-dlp.exe\n");
         },
         "EngineNotInSums"},
        {"an entry that climbs out",
         [&] {
             const QString evil = Site.filePath(QStringLiteral("evil.py"));
             WriteTestFile(evil, "print('escaped')\n");
             Publish(QStringLiteral("2099.01.02"),
                     {QStringLiteral("../../../../escaped.py=") + evil});
             QFile::remove(evil);
         },
         "EngineUnpackFailed"},
        {"an oversized answer",
         [&] {
             Publish(QStringLiteral("2099.01.02"));
             SignSums(QByteArray(2 * 1024 * 1024, '#'));
         },
         "EngineTooLarge"},
        {"a program that does not run",
         [&] {
             WriteTestFile(Release(QStringLiteral("yt-dlp")), "not an archive");
             SignSums(Sha256("not an archive") + "  yt-dlp\n");
         },
         "EngineUnpackFailed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        c.Tamper();
        EXPECT_EQ(QString::fromLatin1(c.Refusal), RefusalOf(&UpdateExtractor));
        EXPECT_EQ(QStringList({QStringLiteral("/data"), QStringLiteral("/data/kavro"),
                               QStringLiteral("/data/kavro/engine"),
                               QStringLiteral("/data/kavro/engine/.lock"),
                               QStringLiteral("/data/kavro/engine/extractor")}),
                  Tree());
    }
    EXPECT_FALSE(QFileInfo::exists(Site.filePath(QStringLiteral("escaped.py"))));
}

TEST_F(EngineInstallerTest, ARefusedUpdateLeavesTheWorkingVersion) {
    Publish(QStringLiteral("2099.01.02"));
    ASSERT_TRUE(UpdateExtractor(Options).Changed);
    const QString working = Current("extractor");
    QByteArray program = Publish(QStringLiteral("2099.02.03"));
    WriteTestFile(Release(QStringLiteral("yt-dlp")), program.left(100));
    EXPECT_EQ(QStringLiteral("EngineDigestMismatch"), RefusalOf(&UpdateExtractor));
    EXPECT_EQ(working, Current("extractor"));
    EXPECT_EQ(QStringList({QStringLiteral("2099.01.02"), QStringLiteral("current")}),
              QDir(Options.EngineFolder + QStringLiteral("/extractor"))
                  .entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name));
}

TEST_F(EngineInstallerTest, AnUnwritableEngineFolderIsAClearError) {
    Publish(QStringLiteral("2099.01.02"));
    WriteTestFile(Home.filePath(QStringLiteral("data")), "a file where the folder belongs");
    Options.RuntimePin = {QStringLiteral("9.9.9"), QStringLiteral("test-target"), Sha256("deno")};
    EXPECT_EQ(QStringLiteral("EngineInstallFailed"), RefusalOf(&UpdateExtractor));
    EXPECT_EQ(QStringLiteral("EngineInstallFailed"), RefusalOf(&UpdateRuntime));
}

TEST_F(EngineInstallerTest, TwoUpdatesAtOnceLeaveOneSoundInstallation) {
    Publish(QStringLiteral("2099.01.02"));
    std::atomic<int> installed{0}, failed{0};
    auto update = [&] {
        try {
            installed += UpdateExtractor(Options).Changed ? 1 : 0;
        } catch (...) {
            ++failed;
        }
    };
    std::thread other(update);
    update();
    other.join();
    EXPECT_EQ(1, installed.load());
    EXPECT_EQ(0, failed.load());
    EXPECT_EQ(
        QByteArray("2099.01.02\n"),
        RunChecked({QStringLiteral("python3"), Current("extractor"), QStringLiteral("--version")}));
}

TEST_F(EngineInstallerTest, TheRuntimeIsTheBinaryKavroPinsAndNothingElse) {
    // A stand-in runtime published as the runtime's makers publish it.
    const QByteArray binary = "#!/bin/sh\necho 'deno 9.9.9 (stand-in)'\n";
    const QString file = Site.filePath(QStringLiteral("deno"));
    WriteTestFile(file, binary, true);
    const QString folder = Site.filePath(QStringLiteral("runtime/v9.9.9"));
    QDir().mkpath(folder);
    const QString archive = folder + QStringLiteral("/deno-test-target.zip");
    auto publish = [&](const QStringList& entries) {
        QFile::remove(archive);
        RunChecked(QStringList{QStringLiteral("/usr/bin/python3"), MakeZipScript(), archive} +
                   entries);
    };
    Options.RuntimePin = {QStringLiteral("9.9.9"), QStringLiteral("test-target"), Sha256(binary)};

    publish({QStringLiteral("deno=") + file, QStringLiteral("../../deno=") + file});
    EXPECT_EQ(QStringLiteral("EngineUnpackFailed"), RefusalOf(&UpdateRuntime));
    EXPECT_FALSE(QFileInfo::exists(Options.EngineFolder + QStringLiteral("/deno")));

    publish({QStringLiteral("README.md=") + file, QStringLiteral("deno=") + file});
    Options.RuntimePin.Sha256 = Sha256("other bytes");
    EXPECT_EQ(QStringLiteral("EngineDigestMismatch"), RefusalOf(&UpdateRuntime));
    EXPECT_TRUE(Current("runtime").isEmpty());

    Options.RuntimePin.Sha256 = Sha256(binary);
    const TInstallOutcome outcome = UpdateRuntime(Options);
    EXPECT_TRUE(outcome.Changed);
    EXPECT_EQ(QStringList({QString::fromLatin1(".kavro-verified"), QStringLiteral("deno")}),
              QDir(Current("runtime")).entryList(QDir::Files | QDir::Hidden, QDir::Name))
        << "only the binary is unpacked";
    EXPECT_FALSE(UpdateRuntime(Options).Changed) << "in place already";
}

TEST_F(EngineInstallerTest, TheDailyCheckRunsOnceADayAndStopsWhenAsked) {
    EXPECT_TRUE(TEngineUpdateThread::CheckDue(Options.EngineFolder)) << "never checked";
    // A release site that answers nothing: the check stalls until it is stopped.
    Options.ExtractorReleases = Server->Url(QStringLiteral("/stall/"));
    {
        TEngineUpdateThread check(Options);
        check.Start();
        ASSERT_TRUE(WaitUntil([&] { return Server->RequestLog().contains("GET /stall/"); }));
        check.Terminate();
        EXPECT_TRUE(WaitUntil([&] { return check.Finished(); }, std::chrono::seconds(10)));
    }
    EXPECT_FALSE(TEngineUpdateThread::CheckDue(Options.EngineFolder)) << "checked today";
    EXPECT_TRUE(Current("extractor").isEmpty());

    QFile stamp(Options.EngineFolder + QStringLiteral("/.last-check"));
    ASSERT_TRUE(stamp.open(QIODevice::ReadWrite));
    stamp.setFileTime(QDateTime::currentDateTime().addSecs(-25 * 60 * 60),
                      QFileDevice::FileModificationTime);
    stamp.close();
    EXPECT_TRUE(TEngineUpdateThread::CheckDue(Options.EngineFolder)) << "a day later";
}

TEST(EngineVersions, CompareAsNumbersPartByPart) {
    EXPECT_EQ(0, CompareVersions(QStringLiteral("2025.11.12"), QStringLiteral("2025.11.12")));
    EXPECT_EQ(-1, CompareVersions(QStringLiteral("2023.03.04"), QStringLiteral("2025.11.12")));
    EXPECT_EQ(1, CompareVersions(QStringLiteral("2025.11.12.1"), QStringLiteral("2025.11.12")));
    EXPECT_EQ(1, CompareVersions(QStringLiteral("2025.12.1"), QStringLiteral("2025.11.30")));
}

} // namespace
