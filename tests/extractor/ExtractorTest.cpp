#include "EngineBridge.h"
#include "KavroError.h"
#include "MediaResolution.h"
#include "TestFiles.h"
#include "TestServer.h"

#include <QDir>
#include <QFile>
#include <QResource>
#include <QTemporaryDir>

#include "KavroTest.h"

#include <dlfcn.h>

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

// The real yt-dlp, found on PATH, resolving pages served on 127.0.0.1.
class RealExtractorTest : public ExtractorTest {
protected:
    static void SetUpTestSuite() {
        ExtractorTest::SetUpTestSuite();
        ASSERT_TRUE(LoadEngine(KAVRO_ENGINE_PATH)) << EngineLoadError().toStdString();
    }
};

TEST_F(RealExtractorTest, HeightTemplateGivesTheFourLineLayout) {
    QTemporaryDir site;
    // A stream list whose best variant under 1080 lines is 1012 lines high.
    WriteTestFile(site.filePath(QStringLiteral("Concert.m3u8")),
                  "#EXTM3U\n"
                  "#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360\nlow.m3u8\n"
                  "#EXT-X-STREAM-INF:BANDWIDTH=3000000,RESOLUTION=1800x1012\nhigh.m3u8\n"
                  "#EXT-X-STREAM-INF:BANDWIDTH=9000000,RESOLUTION=3840x2160\nuhd.m3u8\n");
    TestServer server(site.path());

    TResolvedMedia media;
    ASSERT_TRUE(ResolveMedia(server.Url(QStringLiteral("/files/Concert.m3u8")),
                             QStringLiteral("mp4"), QStringLiteral("1080"), false, media))
        << EngineOutput().toStdString();
    EXPECT_EQ(server.Url(QStringLiteral("/files/high.m3u8")), media.VideoURL);
    EXPECT_EQ(QString(), media.AudioURL);
    EXPECT_EQ(QStringLiteral("Concert_(1080p)_Concert.mp4"), media.FileName);
    // The engine printed the height on a line of its own, as the template asks.
    EXPECT_TRUE(EngineOutput().contains(u"Concert_(\r\n1012\r\np)_Concert.mp4"))
        << EngineOutput().toStdString();
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
