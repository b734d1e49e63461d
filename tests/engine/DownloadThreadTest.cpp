#include "EngineBridge.h"
#include "FakeEngine.h"
#include "KavroTest.h"
#include "MediaSite.h"
#include "SyncWait.h"
#include "TestFiles.h"
#include "uDownloadThread.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <stdexcept>
#include <utility>

namespace {

constexpr qsizetype VideoSize = TMediaSite::VideoSize;
constexpr qsizetype AudioSize = TMediaSite::AudioSize;
const QString PageUrl = QStringLiteral("https://www.youtube.com/watch?v=abc&t=1");

class DownloadThreadTest : public testing::Test {
protected:
    static void SetUpTestSuite() { FakeEngine::Load(); }

    QByteArray Line(const char* path) const { return Site.Line(path); }
    // What the engine prints for one stream, and for video plus audio.
    QByteArrayList SingleAnswer(const char* video = "/files/v.bin") const {
        return {Line(video) + "\nClip_(\n1012\np)_abc.mp4\n"};
    }
    QByteArrayList MergeAnswer(const char* video = "/files/v.bin") const {
        return {Line(video) + '\n' + Line("/files/a.bin") + "\nClip_(\n1080\np)_abc.mp4\n"};
    }

    std::unique_ptr<TDownloadThread> MakeJob(const QString& url, const char* ext,
                                             const char* height, QString dir = {}) {
        if (dir.isEmpty())
            dir = Out.path();
        auto job = std::make_unique<TDownloadThread>(url, QString(), dir, QString::fromLatin1(ext),
                                                     QString::fromLatin1(height), 0, 0, 0);
        job->SetOnGetDownloadURLEvent([this](TDownloadThread*) {
            Record("url");
            if (ThrowIn == "url")
                throw std::runtime_error("handler failed");
        });
        job->SetOnDownloadThreadStartEvent([this](TDownloadThread*, const QString& file,
                                                  int32_t index, int32_t count) {
            Index.store(index);
            Record(QStringLiteral("start %1/%2 %3").arg(index).arg(count).arg(file).toStdString());
            if (ThrowIn == "start")
                throw std::runtime_error("handler failed");
        });
        job->SetOnThreadData(
            [this](THttpClient*, int32_t, int32_t, int64_t, int64_t read, bool&, void*) {
                Record("progress");
                if (OnProgress)
                    OnProgress(read);
            });
        job->SetOnErrorEvent(
            [this](TDownloadThread*, const QString& msg) { Record("error " + msg.toStdString()); });
        job->SetOnDownloadThreadEndEvent([this](TDownloadThread*) { Record("end"); });
        return job;
    }

    void Record(const std::string& event) {
        std::lock_guard lock(EventsMutex);
        if (event == "progress" && !Recorded.empty() && Recorded.back() == event)
            return; // a run of reports counts once
        Recorded.push_back(event);
    }
    std::vector<std::string> TakeEvents() {
        std::lock_guard lock(EventsMutex);
        return std::exchange(Recorded, {});
    }
    std::string Start(int index, int count) const {
        return QStringLiteral("start %1/%2 %3/Clip_(1080p)_abc.mp4")
            .arg(index)
            .arg(count)
            .arg(Out.path())
            .toStdString();
    }
    QStringList OutFiles() const { return QDir(Out.path()).entryList(QDir::Files, QDir::Name); }

    FakeEngine Engine;
    TMediaSite Site;
    QTemporaryDir Out;
    std::mutex EventsMutex;
    std::vector<std::string> Recorded;
    std::string ThrowIn;
    std::atomic<int> Index{0};
    std::function<void(int64_t)> OnProgress;
};

using EventList = std::vector<std::string>;

} // namespace

TEST_F(DownloadThreadTest, RunsRaiseTheirEventsInOrder) {
    struct Case {
        const char* Name;
        QByteArrayList Answer;
        QString Url;
        const char* Ext;
        const char* Height;
        std::string ThrowIn;
        EventList Expected;
        int EngineRuns;
        QStringList Files;
    };
    const Case cases[] = {
        {"single stream",
         SingleAnswer(),
         PageUrl,
         "mp4",
         "720",
         "",
         {"url", Start(1, 1), "progress", "end"},
         1,
         {QStringLiteral("Clip_(1080p)_abc.mp4")}},
        {"merging",
         MergeAnswer(),
         PageUrl,
         "mp4",
         "1080",
         "",
         {"url", Start(1, 2), "progress", Start(2, 2), "progress", "end"},
         1,
         {QStringLiteral("Clip_(1080p)_abc.mp4")}},
        {"address that names no video",
         SingleAnswer(),
         QStringLiteral("https://www.youtube.com/channel/abc"),
         "mp4",
         "720",
         "",
         {"url", "error InvalidYoutubeURL"},
         0,
         {}},
        {"engine never answers",
         {},
         PageUrl,
         "mp4",
         "720",
         "",
         {"url", "error FailedToGetDownloadURL"},
         3,
         {}},
        {"video missing while merging",
         MergeAnswer("/files/gone.bin"),
         PageUrl,
         "webm",
         "720",
         "",
         {"url", Start(1, 2),
          "error HttpStatusError\x1f"
          "404"},
         1,
         {}},
        {"address-resolution handler fails",
         SingleAnswer(),
         PageUrl,
         "mp4",
         "720",
         "url",
         {"url", "error handler failed"},
         0,
         {}},
        {"start handler fails",
         SingleAnswer(),
         PageUrl,
         "mp4",
         "720",
         "start",
         {"url", Start(1, 1), "error handler failed"},
         1,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        FakeEngine engine;
        engine.SetAnswer(c.Answer);
        ThrowIn = c.ThrowIn;
        for (const QString& file : OutFiles())
            QFile::remove(Out.filePath(file));

        auto job = MakeJob(c.Url, c.Ext, c.Height);
        job->Start();
        job->WaitFor();

        EXPECT_EQ(c.Expected, TakeEvents());
        EXPECT_EQ(c.EngineRuns, engine.RunCount());
        QStringList files = OutFiles();
        files.removeAll(QStringLiteral("Clip_(1080p)_abc.mp4.video.part"));
        EXPECT_EQ(c.Files, files);
        EXPECT_EQ(!c.Files.isEmpty(), job->Completed())
            << "complete exactly when the file is there";
    }
}

TEST_F(DownloadThreadTest, MergedFileHoldsVideoThenAudioAndTheTemporariesAreGone) {
    Engine.SetAnswer(MergeAnswer());
    auto job = MakeJob(PageUrl, "MP4", "1080", Out.path() + u'/');
    job->Start();
    job->WaitFor();

    EXPECT_EQ(QStringLiteral("mp4"), job->FormatExt());
    EXPECT_EQ("(bestvideo[height<=?1080][ext=mp4][protocol~='^https?$']/"
              "bestvideo[height<=?1080][ext=mp4])+(bestaudio[ext=m4a][protocol~='^https?$']/"
              "bestaudio[ext=m4a])",
              Engine.Arguments(1)[6]);
    EXPECT_EQ(QByteArray("https://www.youtube.com/watch?v=abc"), Engine.Arguments(1)[7]);
    EXPECT_EQ(Out.path() + QStringLiteral("/Clip_(1080p)_abc.mp4"), job->FileName());
    EXPECT_EQ(PatternBytes(VideoSize) + PatternBytes(AudioSize), ReadTestFile(job->FileName()));
    EXPECT_EQ(QStringList{QStringLiteral("Clip_(1080p)_abc.mp4")}, OutFiles());
    EXPECT_TRUE(job->Completed());
}

TEST_F(DownloadThreadTest, AFailedMergeKeepsTheDownloadedStreams) {
    Engine.SetAnswer(MergeAnswer());
    qputenv("KAVRO_FFMPEG", Site.Path("no-such-ffmpeg").toUtf8());
    auto job = MakeJob(PageUrl, "webm", "1080");
    job->Start();
    job->WaitFor();

    const EventList events = TakeEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(0u, events.back().rfind("error MuxerStartFailed\x1f", 0)) << events.back();
    EXPECT_EQ(QStringList({QStringLiteral("Clip_(1080p)_abc.mp4.audio"),
                           QStringLiteral("Clip_(1080p)_abc.mp4.video")}),
              OutFiles());
    EXPECT_EQ(PatternBytes(VideoSize),
              ReadTestFile(Out.filePath(QStringLiteral("Clip_(1080p)_abc.mp4.video"))));
}

TEST_F(DownloadThreadTest, ReasonsThatNoRetryCanChangeAreReportedAfterOneRun) {
    const std::pair<int, const char*> cases[] = {
        {EngineCannotStart, "error ExtractorStartFailed"},
        {EngineFormatUnavailable, "error QualityUnavailable"},
    };
    for (const auto& [result, error] : cases) {
        SCOPED_TRACE(error);
        FakeEngine engine;
        engine.SetResult(result);
        auto job = MakeJob(PageUrl, "flv", "240");
        job->Start();
        job->WaitFor();
        EXPECT_EQ(EventList({"url", error}), TakeEvents());
        EXPECT_EQ(1, engine.RunCount());
    }
}

TEST_F(DownloadThreadTest, StopDuringTheEngineRunEndsSilentlyAfterThatAttempt) {
    Engine.SetAnswer(SingleAnswer());
    const QString gate = Engine.Path(QStringLiteral("gate"));
    ASSERT_EQ(0, mkfifo(QFile::encodeName(gate).constData(), 0600));
    auto job = MakeJob(PageUrl, "mp4", "720");
    job->Start();
    ASSERT_TRUE(WaitUntil([&] {
        TThread::ServeSynchronizeCalls();
        return Engine.RunCount() == 1;
    }));
    job->Terminate();
    const int fd = open(QFile::encodeName(gate).constData(), O_WRONLY); // lets the engine go on
    ASSERT_GE(fd, 0);
    close(fd);
    job->WaitFor();

    EXPECT_EQ(EventList({"url"}), TakeEvents());
    EXPECT_EQ(1, Engine.RunCount());
    EXPECT_TRUE(OutFiles().isEmpty());
}

TEST_F(DownloadThreadTest, StopDuringTheVideoOfAMergeKeepsWhatArrivedAndMergesNothing) {
    Engine.SetAnswer(MergeAnswer());
    auto job = MakeJob(PageUrl, "mp4", "1080");
    TDownloadThread* raw = job.get();
    OnProgress = [this, raw](int64_t read) {
        if (Index.load() == 1 && read > 0)
            raw->Terminate();
    };
    job->Start();
    job->WaitFor();

    // After the stop no further request goes out and no empty audio file appears.
    EXPECT_EQ(EventList({"url", Start(1, 2), "progress", "end"}), TakeEvents());
    EXPECT_EQ(QStringList({QStringLiteral("Clip_(1080p)_abc.mp4.video.origin"),
                           QStringLiteral("Clip_(1080p)_abc.mp4.video.part")}),
              OutFiles());
    const QByteArray video =
        ReadTestFile(Out.filePath(QStringLiteral("Clip_(1080p)_abc.mp4.video.part")));
    EXPECT_EQ(job->LastDownloaded(), video.size());
    EXPECT_EQ(PatternBytes(VideoSize).left(video.size()), video);
    EXPECT_FALSE(Site.Server->RequestLog().contains("GET /files/a.bin"));
    EXPECT_FALSE(job->Completed());
}

TEST_F(DownloadThreadTest, StopEndsAMergeThatWouldRunForMinutesAndKeepsTheStreams) {
    Engine.SetAnswer(MergeAnswer());
    const QString marker = Site.Path("muxer-started");
    const QString muxer = Site.Path("slow-ffmpeg");
    WriteTestFile(muxer,
                  "#!/bin/sh\ntouch '" + QFile::encodeName(marker) +
                      "'\necho partial > \"$8\"\nsleep 600\n",
                  true);
    qputenv("KAVRO_FFMPEG", muxer.toUtf8());
    auto job = MakeJob(PageUrl, "mp4", "1080");
    job->Start();
    ASSERT_TRUE(WaitUntil([&] {
        TThread::ServeSynchronizeCalls(); // the job's start events
        return QFileInfo::exists(marker);
    }));
    job->Terminate();
    job->WaitFor(); // would wait for the muxer's ten minutes

    const EventList events = TakeEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ("end", events.back()) << "a stop is no error";
    EXPECT_EQ(QStringList({QStringLiteral("Clip_(1080p)_abc.mp4.audio"),
                           QStringLiteral("Clip_(1080p)_abc.mp4.video")}),
              OutFiles())
        << "both streams stay; the muxer's partial output goes";
}

TEST_F(DownloadThreadTest, AStopThatMeetsAWaitingEventDoesNotDeadlock) {
    // The call to serve last before stopping: 1 the address-resolution event,
    // 2 the start event; the stop then meets the start event or the end event.
    struct Case {
        const char* Name;
        int Served;
        EventList Expected;
    } const cases[] = {
        {"stop meets the start event", 1, {"url", Start(1, 1), "end"}},
        {"stop meets the end event", 2, {"url", Start(1, 1), "progress", "end"}},
    };
    WriteTestFile(Site.Path("small.bin"), "tiny");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        FakeEngine engine;
        engine.SetAnswer(SingleAnswer("/files/small.bin"));
        for (const QString& file : OutFiles())
            QFile::remove(Out.filePath(file));
        auto job = MakeJob(PageUrl, "mp4", "720");
        job->Start();
        for (int served = 0; served <= c.Served; ++served) {
            ASSERT_TRUE(WaitUntil(&TThread::SynchronizeCallPending, std::chrono::seconds(5)))
                << testing::PrintToString(TakeEvents());
            if (served < c.Served)
                TThread::ServeSynchronizeCalls();
        }
        job->Terminate();
        job->WaitFor(); // hangs, and the test times out, unless the wait serves the event
        EXPECT_EQ(c.Expected, TakeEvents());
    }
}
