#include "KavroTest.h"
#include "SigningKey.h"
#include "TestServer.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace {

// kavro-cli --update-engine and --engine as a user runs them, against a
// release of the real extractor (Debian's, packed as the maintainers pack
// theirs) served on 127.0.0.1 and signed with the tests' key.
class EngineCliTest : public testing::Test {
protected:
    void SetUp() override {
        QDir().mkpath(Site.filePath(QStringLiteral("release")));
        const QString main = Site.filePath(QStringLiteral("__main__.py"));
        WriteTestFile(main, "import yt_dlp\nyt_dlp.main()\n");
        const QString program = Site.filePath(QStringLiteral("release/yt-dlp"));
        RunChecked({QStringLiteral("/usr/bin/python3"), MakeZipScript(), program,
                    QStringLiteral("--shebang"), QStringLiteral("__main__.py=") + main,
                    QStringLiteral("yt_dlp/=/usr/lib/python3/dist-packages/yt_dlp")});
        const QString sums = Site.filePath(QStringLiteral("release/SHA2-256SUMS"));
        WriteTestFile(sums, Sha256(ReadTestFile(program)) + "  yt-dlp\n");
        Key.Sign(sums, sums + QStringLiteral(".sig"));
        Server = std::make_unique<TestServer>(Site.path());
    }

    int Cli(const QString& command) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), Home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), Home.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), Home.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        env.insert(QStringLiteral("KAVRO_ENGINE_RELEASES"),
                   Server->Url(QStringLiteral("/tree/release/")));
        env.insert(QStringLiteral("KAVRO_ENGINE_KEY"), Key.PublicKey());
        // The runtime's site has nothing: its install fails on its own.
        env.insert(QStringLiteral("KAVRO_RUNTIME_RELEASES"),
                   Server->Url(QStringLiteral("/tree/none/")));
        env.remove(QStringLiteral("KAVRO_EXTRACTOR"));
        QProcess cli;
        cli.setProcessEnvironment(env);
        cli.start(QStringLiteral(KAVRO_CLI_PATH), {command});
        EXPECT_TRUE(cli.waitForFinished(120000));
        Stdout = cli.readAllStandardOutput();
        Stderr = cli.readAllStandardError();
        return cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    }

    TSigningKey Key;
    QTemporaryDir Home;
    QTemporaryDir Site;
    std::unique_ptr<TestServer> Server;
    QByteArray Stdout, Stderr;
};

} // namespace

TEST_F(EngineCliTest, UpdateInstallsTheVerifiedExtractorAndEngineTellsTheTruth) {
    ASSERT_EQ(0, Cli(QStringLiteral("--engine")));
    EXPECT_TRUE(Stdout.contains("found on the system")) << Stdout.toStdString();

    // The extractor is installed although the runtime is not; the command says
    // so and does not claim success.
    EXPECT_EQ(1, Cli(QStringLiteral("--update-engine")));
    EXPECT_TRUE(Stdout.contains("yt-dlp 2023.03.04 is installed.")) << Stdout.toStdString();
    EXPECT_TRUE(Stderr.contains("Could not download")) << Stderr.toStdString();
    const QString current =
        QFileInfo(Home.filePath(QStringLiteral("data/kavro/engine/extractor/current")))
            .canonicalFilePath();
    EXPECT_TRUE(QFileInfo(current + QStringLiteral("/yt_dlp/__init__.py")).isFile());

    ASSERT_EQ(0, Cli(QStringLiteral("--engine")));
    EXPECT_TRUE(Stdout.contains("Extractor: yt-dlp 2023.03.04, Kavro's own copy (" +
                                QFile::encodeName(current) + ")"))
        << Stdout.toStdString();
    EXPECT_TRUE(Stdout.contains("too old for the video service, which needs version 2025.11.12"))
        << Stdout.toStdString();
    EXPECT_TRUE(Stdout.contains("JavaScript runtime: none.")) << Stdout.toStdString();
    EXPECT_TRUE(Stdout.contains("kavro-cli --update-engine")) << Stdout.toStdString();

    // Nothing new: the extractor is current, the runtime still missing.
    EXPECT_EQ(1, Cli(QStringLiteral("--update-engine")));
    EXPECT_TRUE(Stdout.contains("yt-dlp 2023.03.04 is up to date.")) << Stdout.toStdString();
}
