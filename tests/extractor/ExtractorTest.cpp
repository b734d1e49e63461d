#include "EngineBridge.h"
#include "KavroError.h"
#include "MediaResolution.h"
#include "QualityCatalogue.h"
#include "SyncWait.h"
#include "TestFiles.h"
#include "TestServer.h"
#include "uDownloadThread.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QResource>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "KavroTest.h"

#include <initializer_list>

#include <dlfcn.h>
#include <unistd.h>

namespace {

QByteArray Printed;
extern "C" void Collect(const char* text) {
    Printed.append(text);
}

// The real engine library, driven through its two exports as the program drives it.
class ExtractorTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        Library = dlopen(KAVRO_ENGINE_PATH, RTLD_NOW);
        ASSERT_NE(nullptr, Library) << dlerror();
        Init = reinterpret_cast<TEngineInitProc>(dlsym(Library, "Init"));
        Run = reinterpret_cast<TEngineRunProc>(dlsym(Library, "Run"));
        ASSERT_TRUE(Init && Run);
        ASSERT_EQ(0, Init(0, QResource(QStringLiteral(":/MemDll2")).data()));
    }

    void SetUp() override {
        ASSERT_TRUE(Home.isValid());
        // yt-dlp must not read the user's configuration or cache.
        qputenv("HOME", Home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", Home.path().toUtf8());
        qputenv("XDG_CACHE_HOME", Home.path().toUtf8());
        qunsetenv("KAVRO_EXTRACTOR");
        Printed.clear();
    }
    void TearDown() override { qunsetenv("KAVRO_EXTRACTOR"); }

    int RunWith(const QByteArrayList& arguments) {
        std::vector<const char*> argv;
        for (const QByteArray& argument : arguments)
            argv.push_back(argument.constData());
        return Run(static_cast<int32_t>(argv.size()), argv.data(), Collect);
    }

    static inline void* Library = nullptr;
    static inline TEngineInitProc Init = nullptr;
    static inline TEngineRunProc Run = nullptr;
    QTemporaryDir Home;
};

} // namespace

TEST_F(ExtractorTest, InitRefusesAnImageItCannotRead) {
    EXPECT_NE(0, Init(0, nullptr));
    EXPECT_NE(0, Init(0, "MZ\x90\x00 not a runtime description"));
}

TEST_F(ExtractorTest, RunsTheNamedExtractorWithTheVectorAfterItsFirstEntry) {
    const QString script = Home.filePath(QStringLiteral("stand-in"));
    // Prints its arguments one per line, complains on standard error, exits 3.
    WriteTestFile(script,
                  "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done\n"
                  "echo 'WARNING: not for the answer' >&2\nexit 3\n",
                  true);
    qputenv("KAVRO_EXTRACTOR", script.toUtf8());

    EXPECT_EQ(3, RunWith({"Hello world.exe", "-g", "two words", "Caf\xc3\xa9"}));
    EXPECT_EQ(QByteArray("-g\ntwo words\nCaf\xc3\xa9\n"), Printed);
}

TEST_F(ExtractorTest, PassesOutputLargerThanAPipeInOrder) {
    const QString script = Home.filePath(QStringLiteral("stand-in"));
    WriteTestFile(script, "#!/bin/sh\nseq 1 200000\n", true);
    qputenv("KAVRO_EXTRACTOR", script.toUtf8());

    EXPECT_EQ(0, RunWith({"Hello world.exe"}));
    QByteArray expected;
    for (int i = 1; i <= 200000; ++i)
        expected += QByteArray::number(i) + '\n';
    EXPECT_EQ(expected, Printed);
}

TEST_F(ExtractorTest, AnExtractorThatCannotStartIsReportedAsSuch) {
    qputenv("KAVRO_EXTRACTOR", Home.filePath(QStringLiteral("missing")).toUtf8());
    EXPECT_EQ(-1, RunWith({"Hello world.exe", "-g"}));
    EXPECT_TRUE(Printed.isEmpty());
}

TEST_F(ExtractorTest, TheReasonOfAFailureComesBackAsTheResult) {
    struct Case {
        const char* Name;
        const char* Script;
        int Result;
    } const cases[] = {
        {"format not available",
         "#!/bin/sh\necho 'ERROR: [youtube] abc: Requested format is not available. Use "
         "--list-formats for a list of available formats' >&2\nexit 1\n",
         EngineFormatUnavailable},
        {"the same words, but success", "#!/bin/sh\necho 'Requested format is not available' >&2\n",
         0},
        {"another failure", "#!/bin/sh\necho 'ERROR: Unable to download webpage' >&2\nexit 1\n", 1},
        // The shell's child keeps printing after the shell itself is gone, so
        // only stopping the whole group ends the run.
        {"prints without end", "#!/bin/sh\nyes 'no end' &\nwait\n", EngineAnswerTooLong},
    };
    const QString script = Home.filePath(QStringLiteral("stand-in"));
    qputenv("KAVRO_EXTRACTOR", script.toUtf8());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Printed.clear();
        WriteTestFile(script, c.Script, true);
        EXPECT_EQ(c.Result, RunWith({"Hello world.exe", "-g"}));
        EXPECT_FALSE(Printed.contains("ERROR")) << "standard error never joins the answer";
        EXPECT_LE(Printed.size(), EngineAnswerLimit);
    }
}

TEST_F(ExtractorTest, KavrosOwnVerifiedCopyComesAfterTheOverrideAndBeforePath) {
    // A managed extractor that prints the arguments it was given, and a runtime.
    const QString engine = Home.filePath(QStringLiteral("data/kavro/engine"));
    const QString version = engine + QStringLiteral("/extractor/2099.01.02");
    QDir().mkpath(version);
    WriteTestFile(version + QStringLiteral("/__main__.py"),
                  "import sys\nprint('managed', *sys.argv[1:], sep='\\n')\n");
    QFile::link(QStringLiteral("2099.01.02"), engine + QStringLiteral("/extractor/current"));
    const QString runtime = engine + QStringLiteral("/runtime/9.9.9");
    QDir().mkpath(runtime);
    WriteTestFile(runtime + QStringLiteral("/deno"), "#!/bin/sh\n", true);
    QFile::link(QStringLiteral("9.9.9"), engine + QStringLiteral("/runtime/current"));
    qputenv("XDG_DATA_HOME", Home.filePath(QStringLiteral("data")).toUtf8());
    const QString override = Home.filePath(QStringLiteral("override"));
    WriteTestFile(override, "#!/bin/sh\necho override\n", true);

    struct Case {
        const char* Name;
        bool ExtractorVerified;
        bool RuntimeVerified;
        bool Override;
        QByteArray Printed; // empty: the extractor on PATH answered
    } const cases[] = {
        {"managed with its runtime", true, true, false,
         "managed\n--js-runtimes\ndeno:" + QFile::encodeName(runtime) + "/deno\n-g\n"},
        {"managed without a verified runtime", true, false, false, "managed\n-g\n"},
        {"the override wins", true, true, true, "override\n"},
        {"an unverified copy is never run", false, true, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto mark = [](const QString& folder, bool verified) {
            const QString marker = folder + QStringLiteral("/.kavro-verified");
            verified ? WriteTestFile(marker, "verified\n") : void(QFile::remove(marker));
        };
        mark(version, c.ExtractorVerified);
        mark(runtime, c.RuntimeVerified);
        if (c.Override)
            qputenv("KAVRO_EXTRACTOR", override.toUtf8());
        else
            qunsetenv("KAVRO_EXTRACTOR");
        Printed.clear();
        const int result = RunWith({"Hello world.exe", "-g"});
        if (c.Printed.isEmpty()) {
            EXPECT_FALSE(Printed.startsWith("managed")) << Printed.toStdString();
        } else {
            EXPECT_EQ(0, result);
            EXPECT_EQ(c.Printed, Printed);
        }
    }
    qunsetenv("XDG_DATA_HOME");
}

// The real yt-dlp, found on PATH, resolving pages served on 127.0.0.1.
class RealExtractorTest : public ExtractorTest {
protected:
    static void SetUpTestSuite() {
        ExtractorTest::SetUpTestSuite();
        ASSERT_TRUE(LoadEngine(KAVRO_ENGINE_PATH)) << EngineLoadError().toStdString();
    }
};

namespace {

// One Representation of a DASH manifest. With a file it is that file and its index
// (SegmentBase), which yt-dlp lists with protocol http; without one it is numbered
// segments (SegmentTemplate), protocol http_dash_segments. Resolving reads only the
// manifest, so the files themselves need not exist.
struct TRepresentation {
    const char* Id;
    const char* MimeType;
    const char* Codecs;
    int Width; // 0 for audio
    int Height;
    int Bandwidth;
    const char* File;
};

QByteArray DashManifest(std::initializer_list<TRepresentation> representations) {
    QByteArray text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" type=\"static\" "
                      "mediaPresentationDuration=\"PT10S\" minBufferTime=\"PT1S\" "
                      "profiles=\"urn:mpeg:dash:profile:isoff-on-demand:2011\">\n<Period>\n";
    for (const TRepresentation& r : representations) {
        text += "<AdaptationSet mimeType=\"" + QByteArray(r.MimeType) +
                "\">\n<Representation id=\"" + r.Id + "\" codecs=\"" + r.Codecs +
                "\" bandwidth=\"" + QByteArray::number(r.Bandwidth) + '"';
        if (r.Width > 0)
            text += " width=\"" + QByteArray::number(r.Width) + "\" height=\"" +
                    QByteArray::number(r.Height) + '"';
        else
            text += " audioSamplingRate=\"44100\"";
        text += ">\n";
        if (r.File)
            text += "<BaseURL>" + QByteArray(r.File) +
                    "</BaseURL>\n<SegmentBase indexRange=\"700-795\">"
                    "<Initialization range=\"0-699\"/></SegmentBase>\n";
        else
            text += "<SegmentTemplate timescale=\"1000\" duration=\"2000\" startNumber=\"1\" "
                    "initialization=\"" +
                    QByteArray(r.Id) + "-init.m4s\" media=\"" + r.Id + "-$Number$.m4s\"/>\n";
        text += "</Representation>\n</AdaptationSet>\n";
    }
    return text + "</Period>\n</MPD>\n";
}

constexpr char Muxed[] = "avc1.64001f,mp4a.40.2";

} // namespace

TEST_F(RealExtractorTest, HeightTemplateGivesTheFourLineLayout) {
    QTemporaryDir site;
    // Streams at three heights; the best under 1080 lines is 1012 lines high.
    WriteTestFile(site.filePath(QStringLiteral("Concert.mpd")),
                  DashManifest({
                      {"low", "video/mp4", Muxed, 640, 360, 800000, "low.mp4"},
                      {"high", "video/mp4", Muxed, 1800, 1012, 3000000, "high.mp4"},
                      {"uhd", "video/mp4", Muxed, 3840, 2160, 9000000, "uhd.mp4"},
                  }));
    TestServer server(site.path());

    TResolvedMedia media;
    ASSERT_TRUE(ResolveMedia(server.Url(QStringLiteral("/files/Concert.mpd")),
                             QStringLiteral("mp4"), QStringLiteral("1080"), false, media))
        << EngineOutput().toStdString();
    EXPECT_EQ(server.Url(QStringLiteral("/files/high.mp4")), media.VideoURL);
    EXPECT_EQ(QString(), media.AudioURL);
    EXPECT_EQ(QStringLiteral("Concert_(1080p)_Concert.mp4"), media.FileName);
    // The engine printed the height on a line of its own, as the template asks.
    EXPECT_TRUE(EngineOutput().contains(u"Concert_(\r\n1012\r\np)_Concert.mp4"))
        << EngineOutput().toStdString();
}

TEST_F(RealExtractorTest, AStreamFetchedDirectlyWinsOverPlaylistsAndSegments) {
    QTemporaryDir site;
    // In every pair at one height the playlist or the segments carry more bits,
    // so that they would win if the protocol did not count.
    WriteTestFile(site.filePath(QStringLiteral("Both.mpd")),
                  DashManifest({
                      {"v", "video/mp4", "avc1.64002a", 1800, 1012, 2000000, "video.mp4"},
                      {"vs", "video/mp4", "avc1.64002a", 1800, 1012, 5000000, nullptr},
                      {"a", "audio/mp4", "mp4a.40.2", 0, 0, 128000, "audio.m4a"},
                      {"as", "audio/mp4", "mp4a.40.2", 0, 0, 256000, nullptr},
                  }));
    WriteTestFile(site.filePath(QStringLiteral("Segmented.mpd")),
                  DashManifest({
                      {"vs", "video/mp4", "avc1.64002a", 1800, 1012, 5000000, nullptr},
                      {"a", "audio/mp4", "mp4a.40.2", 0, 0, 128000, "audio.m4a"},
                      {"as", "audio/mp4", "mp4a.40.2", 0, 0, 256000, nullptr},
                  }));
    WriteTestFile(site.filePath(QStringLiteral("Direct.mpd")),
                  DashManifest({{"hd", "video/mp4", Muxed, 1280, 720, 1500000, "hd.mp4"}}));
    WriteTestFile(site.filePath(QStringLiteral("Show.m3u8")),
                  "#EXTM3U\n"
                  "#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360,"
                  "CODECS=\"avc1.64001f,mp4a.40.2\"\nlow.m3u8\n"
                  "#EXT-X-STREAM-INF:BANDWIDTH=3000000,RESOLUTION=1280x720,"
                  "CODECS=\"avc1.64001f,mp4a.40.2\"\nhigh.m3u8\n");
    // A page that offers the same show both ways, as players with a fallback do.
    WriteTestFile(site.filePath(QStringLiteral("Show.html")),
                  "<!DOCTYPE html>\n<html><head><title>Show</title></head><body>\n"
                  "<video controls>\n"
                  "<source src=\"Direct.mpd\" type=\"application/dash+xml\">\n"
                  "<source src=\"Show.m3u8\" type=\"application/x-mpegURL\">\n"
                  "</video>\n</body></html>\n");
    TestServer server(site.path());

    struct Case {
        const char* Name;
        const char* Page;
        const char* Ext;
        const char* Height;
        bool Mux;
        const char* Video;
        const char* Audio; // empty: one stream
    } const cases[] = {
        {"direct and segmented video and audio, merged", "Both.mpd", "mp4", "1080", true,
         "video.mp4", "audio.m4a"},
        // A stream with nothing direct falls back on the best of any kind: the manifest's or the
        // playlist's address, which the job then refuses as no media.
        {"each stream falls back on its own", "Segmented.mpd", "mp4", "1080", true, "Segmented.mpd",
         "audio.m4a"},
        {"audio only", "Both.mpd", "m4a", "", false, "audio.m4a", ""},
        {"a direct stream beside HLS on one page", "Show.html", "mp4", "720", false, "hd.mp4", ""},
        {"HLS only", "Show.m3u8", "mp4", "720", false, "high.m3u8", ""},
    };
    const auto url = [&](const char* name) {
        return server.Url(QStringLiteral("/files/") + QString::fromLatin1(name));
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TResolvedMedia media;
        ASSERT_TRUE(ResolveMedia(url(c.Page), QString::fromLatin1(c.Ext),
                                 QString::fromLatin1(c.Height), c.Mux, media))
            << EngineOutput().toStdString();
        EXPECT_EQ(url(c.Video), media.VideoURL) << EngineOutput().toStdString();
        EXPECT_EQ(*c.Audio ? url(c.Audio) : QString(), media.AudioURL);
    }
}

TEST_F(RealExtractorTest, AFormatThePageLacksIsReportedAsSuch) {
    QTemporaryDir site;
    WriteTestFile(site.filePath(QStringLiteral("clip.mp4")), QByteArray(4096, '\0'));
    TestServer server(site.path());

    TResolvedMedia media;
    try {
        ResolveMedia(server.Url(QStringLiteral("/files/clip.mp4")), QStringLiteral("3gp"),
                     QStringLiteral("144"), false, media);
        ADD_FAILURE() << "no error: " << EngineOutput().toStdString();
    } catch (const EKavroError& error) {
        EXPECT_EQ(QStringLiteral("QualityUnavailable"), ErrorMessage(error));
    }
}

TEST_F(RealExtractorTest, DirectMediaFileResolvesToItself) {
    QTemporaryDir site;
    WriteTestFile(site.filePath(QStringLiteral("clip.mp4")), QByteArray(4096, '\0'));
    TestServer server(site.path());

    TResolvedMedia media;
    ASSERT_TRUE(ResolveMedia(server.Url(QStringLiteral("/files/clip.mp4")), QStringLiteral("mp4"),
                             QStringLiteral("720"), false, media))
        << EngineOutput().toStdString();
    EXPECT_EQ(server.Url(QStringLiteral("/files/clip.mp4")), media.VideoURL);
    // A plain file states no height; the engine prints NA for it.
    EXPECT_EQ(QStringLiteral("clip_(NAp)_clip.mp4"), media.FileName);
}

namespace {

// The worker processes that this process started: children whose command line
// carries the worker's program.
QList<pid_t> WorkersOf(pid_t parent) {
    QList<pid_t> workers;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = entry.toInt(&number);
        if (!number)
            continue;
        const QByteArray stat = ReadTestFile(QStringLiteral("/proc/%1/stat").arg(pid));
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1].toInt() == parent &&
            ReadTestFile(QStringLiteral("/proc/%1/cmdline").arg(pid)).contains("extractor worker"))
            workers.append(pid);
    }
    return workers;
}

} // namespace

TEST_F(RealExtractorTest, TheResidentWorkerAnswersAsTheOneShotProgramDoes) {
    QTemporaryDir site;
    WriteTestFile(site.filePath(QStringLiteral("Concert.m3u8")),
                  "#EXTM3U\n"
                  "#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360\nlow.m3u8\n"
                  "#EXT-X-STREAM-INF:BANDWIDTH=3000000,RESOLUTION=1800x1012\nhigh.m3u8\n");
    WriteTestFile(site.filePath(QStringLiteral("clip.mp4")), QByteArray(4096, '\0'));
    TestServer server(site.path());
    const QByteArray hls = server.Url(QStringLiteral("/files/Concert.m3u8")).toUtf8();
    const QByteArray clip = server.Url(QStringLiteral("/files/clip.mp4")).toUtf8();
    const QByteArrayList vectors[] = {
        {"Hello world.exe", "-g", "--get-filename", "-o",
         OutputTemplate(QStringLiteral("1080")).toUtf8(), "-f",
         FormatSelector(QStringLiteral("mp4"), QStringLiteral("1080"), false).toUtf8(), hls},
        {"Hello world.exe", "-g", "--get-filename", "-o", "%(title)s.%(ext)s", "-f", "best", clip},
        {"Hello world.exe", "-g", "-f", "bestvideo[ext=webm]", clip},
        {"Hello world.exe", "-g", server.Url(QStringLiteral("/status/404")).toUtf8()},
    };
    const QByteArray oneShot =
        QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("yt-dlp")));
    ASSERT_FALSE(oneShot.isEmpty());
    for (const QByteArrayList& vector : vectors) {
        SCOPED_TRACE(vector.join(' ').toStdString());
        qputenv("KAVRO_EXTRACTOR", oneShot);
        Printed.clear();
        const int expectedResult = RunWith(vector);
        const QByteArray expected = Printed;
        qunsetenv("KAVRO_EXTRACTOR");
        Printed.clear();
        EXPECT_EQ(expectedResult, RunWith(vector));
        EXPECT_EQ(expected, Printed);
    }
    EXPECT_EQ(1, WorkersOf(getpid()).size()) << "one worker served every request";
}

// Run in a process of its own by the test below: starts the worker, says so,
// and waits to be killed.
TEST_F(RealExtractorTest, HoldsAWorker) {
    if (qEnvironmentVariableIsEmpty("KAVRO_TEST_HOLD_WORKER"))
        GTEST_SKIP() << "a helper of TheWorkerEndsWithItsProgram";
    RunWith({"Hello world.exe", "--version"});
    fputs("ready\n", stdout);
    fflush(stdout);
    char byte;
    [[maybe_unused]] const ssize_t ignored = read(STDIN_FILENO, &byte, 1);
}

TEST_F(RealExtractorTest, TheWorkerEndsWithItsProgramEvenWhenThatIsKilled) {
    QProcess holder;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KAVRO_TEST_HOLD_WORKER"), QStringLiteral("1"));
    holder.setProcessEnvironment(env);
    holder.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--gtest_filter=RealExtractorTest.HoldsAWorker")});
    ASSERT_TRUE(holder.waitForStarted(10000));
    QByteArray output;
    while (!output.contains("ready\n") && holder.waitForReadyRead(60000))
        output += holder.readAllStandardOutput();
    ASSERT_TRUE(output.contains("ready\n")) << output.toStdString();
    const QList<pid_t> workers = WorkersOf(static_cast<pid_t>(holder.processId()));
    ASSERT_EQ(1, workers.size());

    holder.kill();
    ASSERT_TRUE(holder.waitForFinished(10000));
    const QString proc = QStringLiteral("/proc/%1").arg(workers.front());
    EXPECT_TRUE(WaitUntil([&] {
        // Gone, or a zombie waiting for init to reap it.
        const QByteArray stat = ReadTestFile(proc + QStringLiteral("/stat"));
        return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2).startsWith('Z');
    }));
}

TEST_F(RealExtractorTest, StopEndsAnExtractionThatWouldRunForMinutes) {
    const QString marker = Home.filePath(QStringLiteral("started"));
    const QString script = Home.filePath(QStringLiteral("slow-extractor"));
    WriteTestFile(script, "#!/bin/sh\ntouch '" + QFile::encodeName(marker) + "'\nsleep 600\n",
                  true);
    qputenv("KAVRO_EXTRACTOR", script.toUtf8());
    QTemporaryDir out;
    TDownloadThread job(QStringLiteral("https://www.youtube.com/watch?v=abc"), QString(),
                        out.path(), QStringLiteral("mp4"), QStringLiteral("720"), 0, 0, 0);
    std::atomic<bool> failed{false};
    job.SetOnErrorEvent([&](TDownloadThread*, const QString&) { failed.store(true); });
    job.Start();
    ASSERT_TRUE(WaitUntil([&] { return QFileInfo::exists(marker); }));
    job.Terminate();
    EXPECT_TRUE(WaitUntil([&] { return job.Finished(); }, std::chrono::seconds(20)))
        << "the extractor was not stopped";
    job.WaitFor();
    EXPECT_FALSE(failed.load()) << "a stop is no error";
}
