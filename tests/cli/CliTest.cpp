#include "FileNameBytes.h"
#include "KavroTest.h"
#include "TestFiles.h"
#include "TestMedia.h"
#include "TestServer.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <csignal>

#include <unistd.h>

namespace {

// kavro-cli as a user runs it, with a stand-in extractor that prints fixed lines.
class CliTest : public testing::Test {
protected:
    void SetUp() override {
        MakeTestMedia(Site.filePath(QStringLiteral("v.mp4")),
                      Site.filePath(QStringLiteral("a.m4a")));
        WriteTestFile(Site.filePath(QStringLiteral("big.bin")), PatternBytes(2 * 1024 * 1024));
        Server = std::make_unique<TestServer>(Site.path());
    }

    void Answer(const QStringList& lines) {
        const QString script = Site.filePath(QStringLiteral("extractor"));
        QByteArray body = "#!/bin/sh\n";
        for (const QString& line : lines)
            body += "printf '%s\\n' '" + line.toUtf8() + "'\n";
        WriteTestFile(script, body, true);
    }
    QString Url(const char* path) const { return Server->Url(QString::fromLatin1(path)); }

    void Start(const QStringList& arguments,
               const QString& program = QStringLiteral(KAVRO_CLI_PATH)) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("KAVRO_FFMPEG"));
        // The user's own settings and locale stay out of the test.
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), Config.path());
        env.insert(QStringLiteral("LC_ALL"), Locale);
        env.remove(QStringLiteral("LANGUAGE"));
        if (program == QStringLiteral(KAVRO_CLI_PATH) || !Launcher.isEmpty())
            env.insert(QStringLiteral("KAVRO_EXTRACTOR"),
                       Site.filePath(QStringLiteral("extractor")));
        else
            env.remove(QStringLiteral("KAVRO_EXTRACTOR"));
        Cli.setProcessEnvironment(env);
        if (Launcher.isEmpty())
            Cli.start(program, arguments);
        else
            Cli.start(Launcher.first(), Launcher.mid(1) + QStringList{program} + arguments);
        ASSERT_TRUE(Cli.waitForStarted(10000));
    }
    int Finish() {
        EXPECT_TRUE(Cli.waitForFinished(60000));
        Stdout += Cli.readAllStandardOutput();
        Stderr += Cli.readAllStandardError();
        return Cli.exitStatus() == QProcess::NormalExit ? Cli.exitCode() : -1;
    }
    int Run(const QStringList& arguments) {
        Start(arguments);
        return Finish();
    }

    QString Locale = QStringLiteral("C.UTF-8");
    QStringList Launcher; // a program that starts kavro-cli, when set
    QTemporaryDir Config;
    QTemporaryDir Site;
    QTemporaryDir Out;
    std::unique_ptr<TestServer> Server;
    QProcess Cli;
    QByteArray Stdout, Stderr;
};

} // namespace

TEST_F(CliTest, ListsTheQualitiesInTheUsersLanguage) {
    struct Case {
        const char* Locale;
        const char* LangID; // in Config.ini; empty: none
        const char* First;
        const char* Last;
    } const cases[] = {
        {"C.UTF-8", "", " 0  mp4:4320  Resolution <=UHD 8K - 4320p (MP4)",
         "22  m4a:  Audio - (m4a)"},
        {"de_AT.UTF-8", "", " 0  mp4:4320  Aufl\xc3\xb6sung <=UHD 8K - 4320p (MP4)",
         "22  m4a:  Audio - (m4a)"},
        // German is only the Austrian identifier; Germany's falls back to English.
        {"de_DE.UTF-8", "", " 0  mp4:4320  Resolution <=UHD 8K - 4320p (MP4)",
         "22  m4a:  Audio - (m4a)"},
        {"de_AT.UTF-8", "1041",
         " 0  mp4:4320  \xe8\xa7\xa3\xe5\x83\x8f\xe5\xba\xa6 <=UHD 8K - 4320p (MP4)",
         "22  m4a:  \xe9\x9f\xb3\xe5\xa3\xb0 - (m4a)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Locale + std::string(" ") + c.LangID);
        Locale = QString::fromLatin1(c.Locale);
        QDir(Config.path()).removeRecursively();
        if (*c.LangID) {
            QDir().mkpath(Config.filePath(QStringLiteral("Kavro")));
            WriteTestFile(Config.filePath(QStringLiteral("Kavro/Config.ini")),
                          QByteArray("[GlobalLanguage]\nLangID=") + c.LangID + '\n');
        }
        Stdout.clear();
        ASSERT_EQ(0, Run({QStringLiteral("--list")}));
        QList<QByteArray> lines = Stdout.split('\n');
        ASSERT_TRUE(lines.last().isEmpty());
        lines.removeLast();
        ASSERT_EQ(23, lines.size());
        EXPECT_EQ(c.First, lines[0]);
        EXPECT_EQ(c.Last, lines[22]);
    }
}

// Some launchers start programs with SIGCHLD ignored; the children are then
// reaped before anyone can wait for them.
TEST_F(CliTest, AMergingDownloadWorksWhenStartedWithChildSignalsIgnored) {
    Launcher = {QStringLiteral("/usr/bin/python3"), QStringLiteral("-c"),
                QStringLiteral("import os, signal, sys\n"
                               "signal.signal(signal.SIGCHLD, signal.SIG_IGN)\n"
                               "os.execv(sys.argv[1], sys.argv[1:])\n")};
    Answer({Url("/files/v.mp4"), Url("/files/a.m4a"), QStringLiteral("My Clip_("),
            QStringLiteral("1012"), QStringLiteral("p)_abc.mp4")});
    ASSERT_EQ(0, Run({QStringLiteral("--quality"), QStringLiteral("3"), QStringLiteral("--output"),
                      Out.path(), QStringLiteral("https://www.youtube.com/watch?v=abc")}))
        << Stderr.toStdString();
    EXPECT_EQ(QStringLiteral("video,audio"),
              StreamKinds(Out.filePath(QStringLiteral("My Clip_(1080p)_abc.mp4"))));
}

TEST_F(CliTest, TwoMergingDownloadsIntoOneFolderKeepTheirOwnStreams) {
    // The stand-in extractor answers by the height asked for.
    const QByteArray script = "#!/bin/sh\ncase \"$*\" in\n"
                              "*1440*) printf '%s\\n' '" +
                              Url("/slow/v.mp4").toUtf8() + "' '" + Url("/files/a.m4a").toUtf8() +
                              "' 'First_(' '1350' 'p)_abc.mp4' ;;\n"
                              "*) printf '%s\\n' '" +
                              Url("/slow/v.mp4").toUtf8() + "' '" + Url("/files/a.m4a").toUtf8() +
                              "' 'Second_(' '1012' 'p)_def.mp4' ;;\n"
                              "esac\n";
    WriteTestFile(Site.filePath(QStringLiteral("extractor")), script, true);
    QProcess other;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KAVRO_EXTRACTOR"), Site.filePath(QStringLiteral("extractor")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), Config.path());
    env.remove(QStringLiteral("KAVRO_FFMPEG"));
    other.setProcessEnvironment(env);
    other.start(QStringLiteral(KAVRO_CLI_PATH),
                {QStringLiteral("--quality"), QStringLiteral("mp4:1440"),
                 QStringLiteral("--output"), Out.path(),
                 QStringLiteral("https://www.youtube.com/watch?v=abc")});
    ASSERT_TRUE(other.waitForStarted(10000));
    const int mine =
        Run({QStringLiteral("--quality"), QStringLiteral("mp4:1080"), QStringLiteral("--output"),
             Out.path(), QStringLiteral("https://www.youtube.com/watch?v=def")});
    ASSERT_TRUE(other.waitForFinished(60000));
    EXPECT_EQ(0, mine) << Stderr.toStdString();
    EXPECT_EQ(0, other.exitCode()) << other.readAllStandardError().toStdString();
    EXPECT_EQ(QStringList({QStringLiteral("First_(1440p)_abc.mp4"),
                           QStringLiteral("Second_(1080p)_def.mp4")}),
              QDir(Out.path()).entryList(QDir::Files, QDir::Name));
    EXPECT_EQ(QStringLiteral("video,audio"),
              StreamKinds(Out.filePath(QStringLiteral("First_(1440p)_abc.mp4"))));
    EXPECT_EQ(QStringLiteral("video,audio"),
              StreamKinds(Out.filePath(QStringLiteral("Second_(1080p)_def.mp4"))));
}

TEST_F(CliTest, DownloadsSingleAndMergedEntriesEndToEnd) {
    struct Case {
        const char* Quality;
        QStringList Answer;
        const char* File;
        const char* Streams;
        const char* Counter; // shown before the file name
    } const cases[] = {
        {"mp4:720",
         {Url("/files/v.mp4"), QStringLiteral("Clip_("), QStringLiteral("720"),
          QStringLiteral("p)_abc.mp4")},
         "Clip_(720p)_abc.mp4",
         "video",
         ""},
        {"3",
         {Url("/files/v.mp4"), Url("/files/a.m4a"), QStringLiteral("My Clip_("),
          QStringLiteral("1012"), QStringLiteral("p)_abc.mp4")},
         "My Clip_(1080p)_abc.mp4",
         "video,audio",
         "(2/2) "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Quality);
        Answer(c.Answer);
        Stdout.clear();
        ASSERT_EQ(0, Run({QStringLiteral("--quality"), QString::fromLatin1(c.Quality),
                          QStringLiteral("--output"), Out.path(),
                          QStringLiteral("https://www.youtube.com/watch?v=abc")}))
            << Stderr.toStdString();
        const QString file = Out.filePath(QString::fromUtf8(c.File));
        EXPECT_EQ(QString::fromLatin1(c.Streams), StreamKinds(file));
        EXPECT_TRUE(Stdout.contains(QByteArray(c.Counter) + c.File)) << Stdout.toStdString();
        EXPECT_TRUE(Stdout.endsWith("Ready: " + file.toUtf8() + "\n")) << Stdout.toStdString();
    }
    EXPECT_EQ(QStringList({QStringLiteral("Clip_(720p)_abc.mp4"),
                           QStringLiteral("My Clip_(1080p)_abc.mp4")}),
              QDir(Out.path()).entryList(QDir::Files, QDir::Name));
}

// A folder named under a Latin-1 locale holds the byte 0xE9, which is not
// UTF-8. QProcess passes only text, so sh makes the name from an escape and
// hands kavro-cli the bytes.
TEST_F(CliTest, DownloadsIntoAFolderWhoseNameIsNotUtf8) {
    const QByteArray base = Out.path().toUtf8();
    const TRawFolder made(base + "/caf\xe9");
    const QByteArray& folder = made.Path;
    const QStringList single{Url("/files/v.mp4"), QStringLiteral("Clip_("), QStringLiteral("720"),
                             QStringLiteral("p)_abc.mp4")};
    const QStringList merged{Url("/files/v.mp4"), Url("/files/a.m4a"), QStringLiteral("My Clip_("),
                             QStringLiteral("1012"), QStringLiteral("p)_abc.mp4")};
    // Each runs kavro-cli ($0) with the arguments after the first, which is Out.
    const char* absolute =
        R"sh(base=$1; shift; exec "$0" --output "$(printf '%s/caf\351' "$base")" "$@")sh";
    struct Case {
        const char* Name;
        const char* Quality;
        QStringList Answer;
        const char* File;
        const char* Streams;
        const char* Script;
    } const cases[] = {
        {"single, absolute", "mp4:720", single, "Clip_(720p)_abc.mp4", "video", absolute},
        {"merged, absolute", "3", merged, "My Clip_(1080p)_abc.mp4", "video,audio", absolute},
        {"merged, relative", "3", merged, "My Clip_(1080p)_abc.mp4", "video,audio",
         R"sh(cd "$1" && shift && exec "$0" --output "$(printf 'caf\351')" "$@")sh"},
        {"single, the current folder", "mp4:720", single, "Clip_(720p)_abc.mp4", "video",
         R"sh(cd "$(printf '%s/caf\351' "$1")" && shift && exec "$0" "$@")sh"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Answer(c.Answer);
        Stdout.clear();
        Stderr.clear();
        Launcher = {QStringLiteral("/bin/sh"), QStringLiteral("-c"), QString::fromUtf8(c.Script)};
        Start({Out.path(), QStringLiteral("--quality"), QString::fromLatin1(c.Quality),
               QStringLiteral("https://www.youtube.com/watch?v=abc")});
        ASSERT_EQ(0, Finish()) << Stderr.toStdString();
        const QByteArray file = folder + '/' + c.File;
        EXPECT_EQ(QByteArrayList{c.File}, RawEntries(folder));
        EXPECT_EQ(QByteArrayList{"caf\xe9"}, RawEntries(base)) << "no folder of another name";
        EXPECT_EQ(QString::fromLatin1(c.Streams), StreamKinds(DecodeFileName(file)));
        EXPECT_TRUE(Stdout.endsWith("Ready: " + file + '\n')) << Stdout.toStdString();
        unlink(file.constData());
    }
}

TEST_F(CliTest, ProgramsBesideTheExecutableWin) {
    // An installed copy: the engine library, yt-dlp and ffmpeg all beside kavro-cli.
    const QString app = Site.filePath(QStringLiteral("app"));
    ASSERT_TRUE(QDir().mkpath(app));
    ASSERT_TRUE(QFile::copy(QStringLiteral(KAVRO_CLI_PATH), app + QStringLiteral("/kavro-cli")));
    ASSERT_TRUE(
        QFile::copy(QStringLiteral(KAVRO_ENGINE_PATH), app + QStringLiteral("/libKavro.so")));
    WriteTestFile(app + QStringLiteral("/yt-dlp"),
                  "#!/bin/sh\nprintf '%s\\n' '" + Url("/files/v.mp4").toUtf8() + "' '" +
                      Url("/files/a.m4a").toUtf8() + "' 'Near_(' 1080 'p)_abc.mp4'\n",
                  true);
    WriteTestFile(app + QStringLiteral("/ffmpeg"), "#!/bin/sh\necho 'merged beside' > \"$8\"\n",
                  true);
    QFile::setPermissions(app + QStringLiteral("/kavro-cli"),
                          QFile::permissions(app + QStringLiteral("/kavro-cli")) |
                              QFileDevice::ExeOwner);

    Start({QStringLiteral("--quality"), QStringLiteral("mp4:1080"), QStringLiteral("--output"),
           Out.path(), QStringLiteral("https://www.youtube.com/watch?v=abc")},
          app + QStringLiteral("/kavro-cli"));
    ASSERT_EQ(0, Finish()) << Stderr.toStdString();
    EXPECT_EQ(QByteArray("merged beside\n"),
              ReadTestFile(Out.filePath(QStringLiteral("Near_(1080p)_abc.mp4"))));
}

// On a terminal (a pseudo-terminal made by script(1)), the extractor's warning
// stands on a line of its own instead of being glued onto the live status line.
TEST_F(CliTest, WarningsOnATerminalDoNotJoinTheLiveLine) {
    WriteTestFile(Site.filePath(QStringLiteral("extractor")),
                  "#!/bin/sh\necho 'WARNING: a word from the extractor' >&2\n"
                  "printf '%s\\n' '" +
                      Url("/files/v.mp4").toUtf8() + "' 'Clip_(' '720' 'p)_abc.mp4'\n",
                  true);
    Launcher = {QStringLiteral("script"), QStringLiteral("-qec")};
    const QString command = QStringLiteral("'%1' --quality mp4:720 --output '%2' "
                                           "'https://www.youtube.com/watch?v=abc'")
                                .arg(QStringLiteral(KAVRO_CLI_PATH), Out.path());
    Start({QStringLiteral("/dev/null")}, command);
    ASSERT_EQ(0, Finish()) << Stdout.toStdString();
    EXPECT_TRUE(Stdout.contains("\r\x1b[KWARNING: a word from the extractor\r\n"))
        << Stdout.toStdString();
    EXPECT_FALSE(Stdout.contains("...WARNING")) << Stdout.toStdString();
}

TEST_F(CliTest, HelpIsAnAnswerNotAnError) {
    EXPECT_EQ(0, Run({QStringLiteral("--help")}));
    EXPECT_TRUE(Stdout.startsWith("usage: kavro-cli")) << Stdout.toStdString();
    EXPECT_TRUE(Stderr.isEmpty()) << Stderr.toStdString();
}

TEST_F(CliTest, FailuresExitNonZeroWithTheirMessage) {
    struct Case {
        const char* Name;
        QStringList Answer;
        QStringList Arguments;
        int ExitCode;
        const char* Message;
        const char* Locale = "C.UTF-8";
    } const cases[] = {
        {"no identifier",
         {},
         {QStringLiteral("https://example.com/abc")},
         1,
         "does not lead to a video"},
        {"nothing resolved",
         {},
         {QStringLiteral("https://www.youtube.com/watch?v=abc")},
         1,
         "could not get the download address"},
        {"server error",
         {Url("/status/500"), QStringLiteral("Clip_("), QStringLiteral("720"),
          QStringLiteral("p)_abc.mp4")},
         {QStringLiteral("--quality"), QStringLiteral("mp4:720"),
          QStringLiteral("https://www.youtube.com/watch?v=abc")},
         1,
         "HTTP status 500"},
        {"server error, in German",
         {Url("/status/500"), QStringLiteral("Clip_("), QStringLiteral("720"),
          QStringLiteral("p)_abc.mp4")},
         {QStringLiteral("--quality"), QStringLiteral("mp4:720"),
          QStringLiteral("https://www.youtube.com/watch?v=abc")},
         1,
         "HTTP-Status 500",
         "de_AT.UTF-8"},
        {"unknown quality",
         {},
         {QStringLiteral("--quality"), QStringLiteral("mp4:999"),
          QStringLiteral("https://www.youtube.com/watch?v=abc")},
         2,
         "unknown quality"},
        {"no address", {}, {}, 2, "usage:"},
        {"connections out of range",
         {},
         {QStringLiteral("--connections"), QStringLiteral("0"),
          QStringLiteral("https://www.youtube.com/watch?v=abc")},
         2,
         "--connections takes 1 to 8"},
        {"no such output folder",
         {},
         {QStringLiteral("--output"), QStringLiteral("/no/such/folder"),
          QStringLiteral("https://www.youtube.com/watch?v=abc")},
         1,
         "The output folder /no/such/folder does not exist"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Answer(c.Answer);
        Locale = QString::fromLatin1(c.Locale);
        Stderr.clear();
        EXPECT_EQ(c.ExitCode,
                  Run(QStringList{QStringLiteral("--output"), Out.path()} + c.Arguments));
        EXPECT_TRUE(Stderr.contains(c.Message)) << Stderr.toStdString();
    }
    EXPECT_TRUE(QDir(Out.path()).entryList({QStringLiteral("*.mp4")}, QDir::Files).isEmpty());
}

TEST_F(CliTest, InterruptStopsTheJobAndKeepsWhatArrived) {
    Answer({Url("/stall/big.bin"), QStringLiteral("Clip_("), QStringLiteral("720"),
            QStringLiteral("p)_abc.mp4")});
    Start({QStringLiteral("--quality"), QStringLiteral("mp4:720"), QStringLiteral("--output"),
           Out.path(), QStringLiteral("https://www.youtube.com/watch?v=abc")});
    // The start line shows that the transfer runs (and then stalls half-way).
    while (!Stdout.contains("Clip_(720p)_abc.mp4") && Cli.waitForReadyRead(30000))
        Stdout += Cli.readAllStandardOutput();
    ASSERT_TRUE(Stdout.contains("Clip_(720p)_abc.mp4")) << Stdout.toStdString();
    ASSERT_EQ(0, kill(static_cast<pid_t>(Cli.processId()), SIGINT));

    EXPECT_EQ(130, Finish());
    EXPECT_TRUE(Stderr.contains("stopped")) << Stderr.toStdString();
    EXPECT_FALSE(QFileInfo::exists(Out.filePath(QStringLiteral("Clip_(720p)_abc.mp4"))));
    const QByteArray partial =
        ReadTestFile(Out.filePath(QStringLiteral("Clip_(720p)_abc.mp4.part")));
    EXPECT_EQ(PatternBytes(2 * 1024 * 1024).left(partial.size()), partial);
}

TEST_F(CliTest, DownloadingAgainAfterAStopContinuesWhereItStopped) {
    // The first answer stalls half-way; later ones serve ranges.
    Answer({Url("/stallonce/big.bin"), QStringLiteral("Clip_("), QStringLiteral("720"),
            QStringLiteral("p)_abc.mp4")});
    const QStringList arguments{QStringLiteral("--quality"), QStringLiteral("mp4:720"),
                                QStringLiteral("--output"), Out.path(),
                                QStringLiteral("https://www.youtube.com/watch?v=abc")};
    Start(arguments);
    // Half the file has arrived when the status says so.
    while (!Stdout.contains("[ 50%]") && Cli.waitForReadyRead(30000))
        Stdout += Cli.readAllStandardOutput();
    ASSERT_TRUE(Stdout.contains("[ 50%]")) << Stdout.toStdString();
    ASSERT_EQ(0, kill(static_cast<pid_t>(Cli.processId()), SIGINT));
    ASSERT_EQ(130, Finish());
    const qint64 kept = QFileInfo(Out.filePath(QStringLiteral("Clip_(720p)_abc.mp4.part"))).size();
    ASSERT_GT(kept, 0);

    Stderr.clear();
    EXPECT_EQ(0, Run(arguments)) << Stderr.toStdString();
    EXPECT_EQ(PatternBytes(2 * 1024 * 1024),
              ReadTestFile(Out.filePath(QStringLiteral("Clip_(720p)_abc.mp4"))));
    EXPECT_TRUE(Server->RequestLog().contains("\r\nRange: bytes=" + QByteArray::number(kept) + '-'))
        << "only the rest was asked for";
    EXPECT_EQ(QStringList({QStringLiteral("Clip_(720p)_abc.mp4")}),
              QDir(Out.path()).entryList(QDir::Files));
}
