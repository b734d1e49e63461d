#include "StreamMuxer.h"
#include "KavroError.h"
#include "KavroTest.h"
#include "TestFiles.h"
#include "TestMedia.h"

#include <QDir>

#include <csignal>

#include <QFileInfo>
#include <QTemporaryDir>
#include <sys/resource.h>

TEST(CommandLine, QuotedArgumentsSplitBackToThemselves) {
    const QStringList arguments{
        QStringLiteral("/usr/bin/ffmpeg"),  QStringLiteral("/tmp/a b/kavro_tmp.video"),
        QStringLiteral("say \"hi\".mp4"),   QStringLiteral("ends in \\"),
        QStringLiteral("back\\\"quote"),    QStringLiteral("tab\there"),
        QStringLiteral("Caf\u00e9 \u266a"), QString(),
    };
    QStringList quoted;
    for (const QString& argument : arguments)
        quoted.append(QuoteArgument(argument));
    EXPECT_EQ(arguments, SplitCommandLine(quoted.join(u' ')));
    EXPECT_EQ(QStringLiteral("\"/tmp/a b/kavro_tmp.video\""), quoted[1]);
}

TEST(CommandLine, MuxerLineHasEveryPathQuotedAndWriteErrorsFatal) {
    EXPECT_EQ(
        QStringLiteral("\"/opt/kavro/ffmpeg\" -i \"/home/u/My Videos/kavro_tmp.video\" -i "
                       "\"/home/u/My Videos/kavro_tmp.audio\" -codec copy -xerror \"/home/u/My "
                       "Videos/Clip_(1080p)_id.mp4\" -y"),
        MuxCommandLine(QStringLiteral("/opt/kavro/ffmpeg"),
                       QStringLiteral("/home/u/My Videos/kavro_tmp.video"),
                       QStringLiteral("/home/u/My Videos/kavro_tmp.audio"),
                       QStringLiteral("/home/u/My Videos/Clip_(1080p)_id.mp4")));
}

TEST(RunAndCapture, ReturnsBothStreamsInOrderAndTheExitCode) {
    struct Case {
        const char* Name;
        const char* Script;
        int ExitCode;
        QString Output;
    } const cases[] = {
        {"pieces in order", "printf one; printf two >&2; printf three; exit 4", 4,
         QStringLiteral("onetwothree")},
        {"more than a pipe holds on standard error", "head -c 300000 /dev/zero | tr '\\0' x >&2", 0,
         QString(300000, u'x')},
        {"runs in the given folder", "pwd", 0, QStringLiteral("/\n")},
        {"text above 127", "printf 'Caf\\303\\251'", 0, QStringLiteral("Caf\u00e9")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        int exitCode = -2;
        const QString output =
            RunAndCapture(QStringLiteral("\"/bin/sh\" -c \"%1\"").arg(QString::fromUtf8(c.Script)),
                          QStringLiteral("/"), &exitCode);
        EXPECT_EQ(c.ExitCode, exitCode);
        EXPECT_EQ(c.Output, output);
    }
}

TEST(RunAndCapture, AProgramThatCannotStartGivesEmptyTextAtOnce) {
    int exitCode = 0;
    EXPECT_EQ(QString(), RunAndCapture(QStringLiteral("\"/no/such/ffmpeg\" -i \"x\""),
                                       QStringLiteral("/"), &exitCode));
    EXPECT_EQ(-1, exitCode);
}

class MuxStreamsTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        Folder = Dir.filePath(QStringLiteral("My Videos"));
        ASSERT_TRUE(QDir().mkpath(Folder));
        Video = Folder + QStringLiteral("/kavro_tmp.video");
        Audio = Folder + QStringLiteral("/kavro_tmp.audio");
        Output = Folder + QStringLiteral("/Clip \"live\"_(1080p)_id.mp4");
        // ffmpeg tells formats by content, so the temporary names need no extension.
        MakeTestMedia(Folder + QStringLiteral("/v.mp4"), Folder + QStringLiteral("/a.m4a"));
        ASSERT_TRUE(QFile::rename(Folder + QStringLiteral("/v.mp4"), Video));
        ASSERT_TRUE(QFile::rename(Folder + QStringLiteral("/a.m4a"), Audio));
        qunsetenv("KAVRO_FFMPEG");
    }
    void TearDown() override { qunsetenv("KAVRO_FFMPEG"); }

    QStringList FolderEntries() const { return QDir(Folder).entryList(QDir::Files, QDir::Name); }

    QTemporaryDir Dir;
    QString Folder, Video, Audio, Output;
};

TEST_F(MuxStreamsTest, RealMuxerJoinsVideoAndAudioAndReplacesAnExistingFile) {
    WriteTestFile(Output, "an older download");
    MuxStreams(Video, Audio, Output);
    EXPECT_EQ(QStringLiteral("video,audio"), StreamKinds(Output));
    // Nothing else is left behind; the inputs are the job's to delete.
    EXPECT_EQ(QStringList({QStringLiteral("Clip \"live\"_(1080p)_id.mp4"),
                           QStringLiteral("kavro_tmp.audio"), QStringLiteral("kavro_tmp.video")}),
              FolderEntries());
}

TEST_F(MuxStreamsTest, AMergeThatRunsOutOfDiskIsAFailure) {
    // The size of a good merge, then a disk that holds a little less: the
    // muxer fails while writing its trailer, as on a full disk.
    MuxStreams(Video, Audio, Output);
    const qint64 whole = QFileInfo(Output).size();
    QFile::remove(Output);
    struct rlimit old {};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN); // the child inherits it
    struct rlimit small = old;
    small.rlim_cur = static_cast<rlim_t>(whole - 64);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    QString message;
    try {
        MuxStreams(Video, Audio, Output);
    } catch (const EKavroError& error) {
        message = ErrorMessage(error);
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_TRUE(message.startsWith(QStringLiteral("MuxFailed\x1f"))) << message.toStdString();
    EXPECT_FALSE(QFileInfo::exists(Output)) << "no broken file under the final name";
    EXPECT_EQ(QStringList({QStringLiteral("kavro_tmp.audio"), QStringLiteral("kavro_tmp.video")}),
              FolderEntries())
        << "both streams stay, the partial output goes";
}

TEST_F(MuxStreamsTest, AFailedMergeIsAnErrorAndLeavesNoFinalFile) {
    struct Case {
        const char* Name;
        const char* Script; // empty: no program at all
        const char* Message;
    } const cases[] = {
        {"muxer missing", nullptr, "MuxerStartFailed\x1f"},
        {"muxer fails", "#!/bin/sh\necho 'Invalid data found' >&2\nexit 1\n",
         "MuxFailed\x1f"
         "1\x1fInvalid data found"},
        {"muxer writes half and fails", "#!/bin/sh\nshift 7\necho x > \"$1\"\nexit 1\n",
         "MuxFailedSilently\x1f"
         "1"},
        {"muxer writes nothing", "#!/bin/sh\nexit 0\n", "MuxNoOutput"},
        {"muxer fails without a word", "#!/bin/sh\nexit 3\n",
         "MuxFailedSilently\x1f"
         "3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString muxer = Dir.filePath(QStringLiteral("fake-ffmpeg"));
        QFile::remove(muxer);
        if (c.Script)
            WriteTestFile(muxer, c.Script, true);
        qputenv("KAVRO_FFMPEG", muxer.toUtf8());
        try {
            MuxStreams(Video, Audio, Output);
            ADD_FAILURE() << "no error";
        } catch (const EKavroError& error) {
            EXPECT_TRUE(ErrorMessage(error).startsWith(QString::fromUtf8(c.Message)))
                << error.what();
        }
        EXPECT_EQ(
            QStringList({QStringLiteral("kavro_tmp.audio"), QStringLiteral("kavro_tmp.video")}),
            FolderEntries());
    }
}

TEST_F(MuxStreamsTest, MuxerGetsTheInputsAndOverwriteFlag) {
    const QString muxer = Dir.filePath(QStringLiteral("fake-ffmpeg"));
    const QString record = Dir.filePath(QStringLiteral("args"));
    // Records its arguments one per line, then writes the last-but-one (the output).
    WriteTestFile(
        muxer,
        QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1'\nshift 7\necho muxed > \"$1\"\n")
            .arg(record)
            .toUtf8(),
        true);
    qputenv("KAVRO_FFMPEG", muxer.toUtf8());
    MuxStreams(Video, Audio, Output);

    const QStringList args = QString::fromUtf8(ReadTestFile(record)).split(u'\n');
    ASSERT_EQ(10, args.size());
    EXPECT_EQ(
        QStringList({QStringLiteral("-i"), Video, QStringLiteral("-i"), Audio,
                     QStringLiteral("-codec"), QStringLiteral("copy"), QStringLiteral("-xerror")}),
        args.mid(0, 7));
    // Written beside the final file under a partial name, then renamed.
    EXPECT_EQ(Folder + QStringLiteral("/Clip \"live\"_(1080p)_id.part.mp4"), args[7]);
    EXPECT_EQ(QStringLiteral("-y"), args[8]);
    EXPECT_EQ(QByteArray("muxed\n"), ReadTestFile(Output));
}
