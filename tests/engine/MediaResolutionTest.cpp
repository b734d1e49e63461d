#include "MediaResolution.h"

#include "EngineBridge.h"
#include "FakeEngine.h"
#include "KavroError.h"

#include "KavroTest.h"

TEST(ExtractVideoID, TakesTheTextAfterTheFirstVKeyUpToTheFirstAmpersand) {
    struct Case {
        const char* Url;
        const char* Id;
    } const cases[] = {
        {"https://www.youtube.com/watch?v=dQw4w9WgXcQ&list=PL1&index=2", "dQw4w9WgXcQ"},
        {"https://www.youtube.com/watch?v=AbC_-9", "AbC_-9"},
        {"https://www.youtube.com/watch?list=PL1&v=dQw4w9WgXcQ", ""},
        {"https://www.youtube.com/watch?V=AbCdE", "AbCdE"},
        {"https://example.com/watch?dev=first&v=second", "first"},
        {"https://www.youtube.com/watch?v=", ""},
        {"https://www.youtube.com/watch?v=abc&", "abc"},
        {"https://www.youtube.com/watch?v=&x=1", ""},
        {"v=abc", "abc"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Url);
        EXPECT_EQ(QString::fromUtf8(c.Id), ExtractVideoID(QString::fromUtf8(c.Url)));
    }
}

TEST(ExtractVideoID, WithoutAVKeyTheSharedShortLiveAndEmbedFormsGiveTheIdentifier) {
    struct Case {
        const char* Url;
        const char* Id;
    } const cases[] = {
        {"https://youtu.be/dQw4w9WgXcQ?si=Ab12cD", "dQw4w9WgXcQ"},
        {"youtu.be/dQw4w9WgXcQ", "dQw4w9WgXcQ"},
        {"http://youtu.be/dQw4w9WgXcQ#t=30", "dQw4w9WgXcQ"},
        {"  https://youtu.be/dQw4w9WgXcQ\n", "dQw4w9WgXcQ"},
        {"https://www.youtube.com/shorts/aB3_-xYz012?feature=share", "aB3_-xYz012"},
        {"https://m.youtube.com/shorts/aB3_-xYz012", "aB3_-xYz012"},
        {"HTTPS://WWW.YOUTUBE.COM/live/aB3_-xYz012", "aB3_-xYz012"},
        {"music.youtube.com/embed/aB3_-xYz012/", "aB3_-xYz012"},
        {"https://youtube.com/embed/aB3_-xYz012", "aB3_-xYz012"},
        // The "v=" rule comes first, as before.
        {"https://youtu.be/first?v=second", "second"},
        // Anything else still names no video.
        {"https://youtu.be/", ""},
        {"https://youtu.be/?si=x", ""},
        {"https://www.youtube.com/channel/UC123", ""},
        {"https://www.youtube.com/shorts/", ""},
        {"https://example.com/shorts/aB3_-xYz012", ""},
        {"https://youtu.be.evil.example/aB3_-xYz012", ""},
        {"https://www.youtube.com/embed/a%2Fb", ""},
        {"https://youtu.be", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Url);
        EXPECT_EQ(QString::fromUtf8(c.Id), ExtractVideoID(QString::fromUtf8(c.Url)));
    }
}

TEST(ExtractVideoID, CanonicalAddressIsTheWatchPageOnTheServicesHost) {
    EXPECT_EQ(QStringLiteral("https://www.youtube.com/watch?v=AbC_-9"),
              CanonicalWatchURL(QStringLiteral("AbC_-9")));
}

TEST(NormalizeHeight, MapsOnlyTheThreeOddHeightsByExactText) {
    struct Case {
        const char* Printed;
        const char* Label;
    } const cases[] = {
        {"1350", "1440"}, {"1012", "1080"}, {"450", "480"},   {"1080", "1080"}, {"720", "720"},
        {"NA", "NA"},     {"", ""},         {" 450", " 450"}, {"4500", "4500"}, {"01012", "01012"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Printed);
        EXPECT_EQ(QString::fromUtf8(c.Label), NormalizeHeight(QString::fromUtf8(c.Printed)));
    }
}

class ResolveMediaTest : public testing::Test {
protected:
    static void SetUpTestSuite() { FakeEngine::Load(); }

    FakeEngine Engine;
};

TEST_F(ResolveMediaTest, HandsTheEngineTheEightEntryVectorAndTheRuntimeImage) {
    Engine.SetAnswer({"http://v\nname.mp4\n"});
    TResolvedMedia media;
    ResolveMedia(QStringLiteral("https://www.youtube.com/watch?v=Caf\u00e9"), QStringLiteral("mp4"),
                 QStringLiteral("1080"), true, media);

    ASSERT_EQ(1, Engine.RunCount());
    EXPECT_EQ(QByteArrayList({"Hello world.exe", "-g", "--get-filename", "-o",
                              "%(title)s_(\r\n%(height)s\r\np)_%(id)s.%(ext)s", "-f",
                              "(bestvideo[height<=?1080][ext=mp4][protocol~='^https?$']/"
                              "bestvideo[height<=?1080][ext=mp4])+"
                              "(bestaudio[ext=m4a][protocol~='^https?$']/bestaudio[ext=m4a])",
                              "https://www.youtube.com/watch?v=Caf\xc3\xa9"}),
              Engine.Arguments(1));
    // Read by the engine during the run, long after Init returned.
    EXPECT_EQ("KavroEngineRuntime 1", Engine.ImageLine(1));
}

TEST_F(ResolveMediaTest, AcceptsOnlyTheTwoFourAndFiveLineShapes) {
    struct Case {
        const char* Name;
        QByteArrayList Pieces;
        const char* Height;
        bool Mux;
        bool Ok;
        const char* Video;
        const char* Audio;
        const char* File;
    } const cases[] = {
        {"audio, two lines",
         {"http://a/x\r\nSong_id.m4a\r\n"},
         "",
         false,
         true,
         "http://a/x",
         "",
         "Song_id.m4a"},
        {"one stream with height",
         {"http://v\r\nClip_(\r\n1012\r\np)_id.mp4\r\n"},
         "1080",
         false,
         true,
         "http://v",
         "",
         "Clip_(1080p)_id.mp4"},
        {"video and audio",
         {"http://v\nhttp://a\nClip_(\n1350\np)_id.webm\n"},
         "1440",
         true,
         true,
         "http://v",
         "http://a",
         "Clip_(1440p)_id.webm"},
        {"five lines without mux flag",
         {"http://v\nhttp://a\nClip_(\n720\np)_id.mp4"},
         "720",
         false,
         false,
         "",
         "",
         ""},
        {"four lines with mux flag",
         {"http://v\nClip_(\n450\np)_id.mp4"},
         "480",
         true,
         true,
         "http://v",
         "",
         "Clip_(480p)_id.mp4"},
        {"trimmed: leading blank lines and trailing break",
         {"\r\n\r\n \thttp://a\r\nSong_id.m4a\r\n\r\n"},
         "",
         false,
         true,
         "http://a",
         "",
         "Song_id.m4a"},
        {"lone CR breaks",
         {"http://v\rClip_(\r720\rp)_id.mp4\r"},
         "720",
         false,
         true,
         "http://v",
         "",
         "Clip_(720p)_id.mp4"},
        {"mixed breaks",
         {"http://v\r\nClip_(\n1012\rp)_id.mp4"},
         "1080",
         false,
         true,
         "http://v",
         "",
         "Clip_(1080p)_id.mp4"},
        {"an empty line counts",
         {"http://v\n\nClip_(\n720\np)_id.mp4"},
         "720",
         true,
         true,
         "http://v",
         "",
         "Clip_(720p)_id.mp4"},
        {"an empty line makes three", {"http://a\n\nSong_id.m4a"}, "", false, false, "", "", ""},
        {"a warning line changes the count",
         {"WARNING: x\nhttp://a\nSong_id.m4a\n"},
         "",
         false,
         false,
         "",
         "",
         ""},
        {"one line", {"http://a\n"}, "", false, false, "", "", ""},
        {"six lines", {"a\nb\nc\nd\ne\nf\n"}, "720", true, false, "", "", ""},
        {"nothing printed", {}, "720", false, false, "", "", ""},
        {"only blanks", {" \r\n\t\n"}, "720", false, false, "", "", ""},
        {"pieces joined in call order",
         {"http://", "a\r", "\nSo", "ng_id.m4a"},
         "",
         false,
         true,
         "http://a",
         "",
         "Song_id.m4a"},
        {"bytes above 127, split between prints",
         {"http://a\nCaf\xc3", "\xa9 \xe2\x99\xaa_id.m4a"},
         "",
         false,
         true,
         "http://a",
         "",
         "Caf\u00e9 \u266a_id.m4a"},
        {"separators cannot lead out of the folder",
         {"http://a\n../../etc/passwd"},
         "",
         false,
         true,
         "http://a",
         "",
         ".._.._etc_passwd"},
        {"a name that is a parent folder", {"http://a\n.."}, "", false, false, "", "", ""},
        {"a name that is the folder itself",
         {"http://v\n\n\n.\n"},
         "720",
         false,
         false,
         "",
         "",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        FakeEngine engine;
        engine.SetAnswer(c.Pieces);
        TResolvedMedia media{QStringLiteral("old video"), QStringLiteral("old audio"),
                             QStringLiteral("old name")};
        EXPECT_EQ(c.Ok,
                  ResolveMedia(QStringLiteral("https://www.youtube.com/watch?v=x"),
                               QStringLiteral("mp4"), QString::fromUtf8(c.Height), c.Mux, media));
        EXPECT_EQ(QString::fromUtf8(c.Video), media.VideoURL);
        EXPECT_EQ(QString::fromUtf8(c.Audio), media.AudioURL);
        // The name is only written on success.
        EXPECT_EQ(c.Ok ? QString::fromUtf8(c.File) : QStringLiteral("old name"), media.FileName);
    }
}

TEST_F(ResolveMediaTest, ALongTitleIsShortenedSoTheNameFitsTheFileSystem) {
    const QString japanese = QString(90, QChar(0x6620));                      // 3 bytes each
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80").repeated(80); // 4 bytes each
    struct Case {
        const char* Name;
        QString Title;
        QString Rest; // what must stay whole
    } const cases[] = {
        {"CJK title", japanese, QStringLiteral("_(1080p)_abc.mp4")},
        {"emoji title", emoji, QStringLiteral("_(1080p)_abc.mp4")},
        {"short title unchanged", QStringLiteral("Clip"), QStringLiteral("_(1080p)_abc.mp4")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Engine.SetAnswer({"http://v\n" + c.Title.toUtf8() + "_(\n1012\np)_abc.mp4\n"});
        TResolvedMedia media;
        ASSERT_TRUE(ResolveMedia(QStringLiteral("https://www.youtube.com/watch?v=abc"),
                                 QStringLiteral("mp4"), QStringLiteral("1080"), false, media));
        const QByteArray name = media.FileName.toUtf8();
        EXPECT_LE(name.size() + 13, 255) << "with .video.origin it still fits";
        EXPECT_TRUE(media.FileName.endsWith(c.Rest));
        const QString kept = media.FileName.chopped(c.Rest.size());
        EXPECT_TRUE(c.Title.startsWith(kept));
        EXPECT_EQ(name, QString::fromUtf8(name).toUtf8()) << "cut on a character boundary";
        if (c.Title.toUtf8().size() + c.Rest.toUtf8().size() + 13 <= 255)
            EXPECT_EQ(c.Title, kept);
        else
            EXPECT_GT(name.size() + 13, 255 - 4) << "shortened no more than needed";
    }
}

TEST_F(ResolveMediaTest, EachRunStartsWithAnEmptyOutput) {
    Engine.SetAnswer({"http://first\nFirst_(\n720\np)_id.mp4\n"}, 1);
    Engine.SetAnswer({"http://second\nSecond_id.m4a"}, 2);
    TResolvedMedia media;
    const QString url = QStringLiteral("https://www.youtube.com/watch?v=x");
    ASSERT_TRUE(ResolveMedia(url, QStringLiteral("mp4"), QStringLiteral("720"), false, media));
    ASSERT_TRUE(ResolveMedia(url, QStringLiteral("m4a"), QString(), false, media));
    EXPECT_EQ(QStringLiteral("http://second\nSecond_id.m4a"), EngineOutput());
    EXPECT_EQ(QStringLiteral("Second_id.m4a"), media.FileName);
}

TEST_F(ResolveMediaTest, TheEnginesReasonDecidesBetweenAnErrorAndAFailedAttempt) {
    const QByteArray answer = "http://v\nname.mp4\n";
    struct Case {
        const char* Name;
        int Result;
        QByteArrayList Pieces;
        const char* Error; // empty: a failed attempt, no error
    } const cases[] = {
        {"extractor cannot start", EngineCannotStart, {}, "ExtractorStartFailed"},
        {"format not available", EngineFormatUnavailable, {}, "QualityUnavailable"},
        {"answer too long, said by the library", EngineAnswerTooLong, {answer}, ""},
        {"answer too long, seen by the program",
         0,
         {answer, QByteArray(EngineAnswerLimit, 'x')},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Engine.SetResult(c.Result);
        Engine.SetAnswer(c.Pieces);
        TResolvedMedia media;
        QString error;
        bool resolved = false;
        try {
            resolved = ResolveMedia(QStringLiteral("https://www.youtube.com/watch?v=x"),
                                    QStringLiteral("mp4"), QStringLiteral("720"), false, media);
        } catch (const EKavroError& e) {
            error = ErrorMessage(e);
        }
        EXPECT_FALSE(resolved);
        EXPECT_EQ(QString::fromLatin1(c.Error), error);
        EXPECT_TRUE(EngineOutput().isEmpty()) << "nothing of an overlong answer is kept";
    }
}
