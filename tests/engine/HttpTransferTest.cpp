#include "FileNameBytes.h"
#include "KavroError.h"
#include "KavroTest.h"
#include "TestFiles.h"
#include "TestServer.h"
#include "uDownloadThread.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/file.h>

#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace {

struct Report {
    int32_t Speed;
    int64_t ContentLength;
    int64_t ReadCount;
};

constexpr qsizetype MediaSize = 3 * 1024 * 1024 + 17;

class HttpTransferTest : public testing::Test {
protected:
    void SetUp() override {
        Media = PatternBytes(MediaSize);
        WriteTestFile(Site.filePath(QStringLiteral("media.bin")), Media);
        Server = std::make_unique<TestServer>(Site.path());
    }

    std::unique_ptr<TDownloadThread> MakeJob(int64_t start = 0, int64_t end = 0,
                                             const QString& ext = QStringLiteral("mp4")) {
        auto job = std::make_unique<TDownloadThread>(
            QStringLiteral("https://www.youtube.com/watch?v=x"), QString(), Out.path(), ext,
            QStringLiteral("720"), 0, start, end);
        job->SetOnThreadData([this](THttpClient*, int32_t, int32_t speed, int64_t length,
                                    int64_t read, bool&, void*) {
            Reports.push_back({speed, length, read});
            if (OnReport)
                OnReport(read);
        });
        return job;
    }

    // Each case its own name: a partial file left by one would be continued by the next.
    QString Target(const QString& name = QStringLiteral("video.mp4")) const {
        return Out.filePath(name);
    }
    QString Url(const char* path) const { return Server->Url(QString::fromLatin1(path)); }

    QTemporaryDir Site;
    QTemporaryDir Out;
    QByteArray Media;
    std::unique_ptr<TestServer> Server;
    std::vector<Report> Reports;
    std::function<void(int64_t)> OnReport;
};

} // namespace

TEST_F(HttpTransferTest, APlaylistOrManifestIsNeverSavedAsTheMedia) {
    const std::pair<const char*, QByteArray> bodies[] = {
        {"list.m3u8", "#EXTM3U\n#EXT-X-VERSION:3\n#EXTINF:10,\nsegment0.ts\n"},
        {"manifest.mpd", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<MPD "
                         "xmlns=\"urn:mpeg:dash:schema:mpd:2011\">"},
        {"bare.mpd", "\n<MPD type=\"static\">"},
    };
    for (const auto& [name, body] : bodies) {
        SCOPED_TRACE(name);
        WriteTestFile(Site.filePath(QString::fromLatin1(name)), body);
        auto job = MakeJob();
        try {
            job->DownloadFile(Url((std::string("/files/") + name).c_str()), Target(), 0, 0);
            ADD_FAILURE() << "no error";
        } catch (const EKavroError& error) {
            EXPECT_EQ(QStringLiteral("PlaylistNotMedia"), ErrorMessage(error));
        }
        EXPECT_FALSE(QFileInfo::exists(Target()));
        EXPECT_FALSE(QFileInfo::exists(Target() + QStringLiteral(".part")));
    }
}

TEST_F(HttpTransferTest, AReceiverThatThrowsStopsTheTransferAndKeepsWhatArrived) {
    auto job = MakeJob();
    int64_t atThrow = -1;
    OnReport = [&](int64_t read) {
        if (read > 0) {
            atThrow = read;
            throw std::runtime_error("receiver failed");
        }
    };
    try {
        job->DownloadFile(Url("/files/media.bin"), Target(), 0, 0);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ("receiver failed", error.what()) << "the receiver's own exception";
    }
    ASSERT_GT(atThrow, 0);
    EXPECT_EQ(Media.left(atThrow), ReadTestFile(Target() + QStringLiteral(".part")));
    EXPECT_FALSE(QFileInfo::exists(Target()));
}

TEST_F(HttpTransferTest, WholeResourceArrivesUnderItsFinalName) {
    auto job = MakeJob();
    job->DownloadFile(Url("/files/media.bin"), Target(), 0, 0);

    EXPECT_EQ(Media, ReadTestFile(Target()));
    EXPECT_FALSE(QFileInfo::exists(Target() + QStringLiteral(".part")));
    ASSERT_GE(Reports.size(), 2u);
    EXPECT_EQ(0, Reports.front().ReadCount);
    EXPECT_EQ(0, Reports.front().Speed);
    EXPECT_EQ(MediaSize, Reports.back().ReadCount);
    for (const Report& report : Reports)
        EXPECT_EQ(MediaSize, report.ContentLength);
    const QByteArray request = Server->RequestLog();
    EXPECT_FALSE(request.contains("Range:"));
    // The header set of a desktop browser, as the extractor sends it, and no compression.
    for (const char* header :
         {"\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64)", "\r\nAccept: text/html,",
          "\r\nAccept-Language: en-us,en;q=0.5\r\n", "\r\nSec-Fetch-Mode: navigate\r\n",
          "\r\nAccept-Encoding: identity\r\n"})
        EXPECT_TRUE(request.contains(header)) << header << " in " << request.toStdString();
}

TEST_F(HttpTransferTest, ALargeFileComesInCheckedPiecesAsOneTransfer) {
    struct Case {
        const char* Path;
        bool InPieces; // the server takes Range requests
        int Connections;
        const char* Peak; // the most pieces in flight at once, where the server counts
    } const cases[] = {{"/files/media.bin", true, 1, nullptr},
                       {"/slow/media.bin", false, 4, nullptr},
                       {"/gate/4/media.bin", true, 4, "4"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Path);
        Reports.clear();
        QFile::remove(Target());
        const int before = Server->RequestLog().count("GET ");
        auto job = MakeJob();
        job->PieceSize = 256 * 1024;
        job->Connections = c.Connections;
        job->DownloadFile(Url(c.Path), Target(), 0, 0);

        EXPECT_EQ(Media, ReadTestFile(Target()));
        const QByteArray log = Server->RequestLog();
        const int requests = log.count("GET ") - before;
        if (c.InPieces) {
            EXPECT_GE(requests, 3) << log.toStdString();
            EXPECT_TRUE(log.contains("\r\nRange: bytes=")) << log.toStdString();
        } else {
            EXPECT_EQ(1, requests) << "a server without ranges gives the whole file at once";
        }
        if (c.Peak) {
            EXPECT_EQ(QByteArray(c.Peak), ReadTestFile(Site.filePath(QStringLiteral("peak"))));
        }
        EXPECT_FALSE(QFileInfo::exists(Target() + QStringLiteral(".origin")));
        // One continuous transfer for the job's events.
        int64_t last = -1;
        for (const Report& report : Reports) {
            EXPECT_EQ(MediaSize, report.ContentLength);
            EXPECT_GE(report.ReadCount, last);
            last = report.ReadCount;
        }
        EXPECT_EQ(MediaSize, last);
    }
}

TEST_F(HttpTransferTest, AFailedPieceIsAskedForAgainFromWhereItStoppedThreeTimesInAll) {
    constexpr int64_t Piece = 1024 * 1024;
    struct Case {
        const char* Path; // the first so many Range requests break off half-way
        bool Succeeds;
    } const cases[] = {{"/flaky/2/media.bin", true}, {"/flaky/3/media.bin", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Path);
        const QString target = Target(QString::number(&c - cases) + QStringLiteral(".mp4"));
        const qsizetype before = Server->RequestLog().size();
        auto job = MakeJob();
        job->PieceSize = Piece;
        job->Connections = 1;
        try {
            job->DownloadFile(Url(c.Path), target, 0, 0);
            EXPECT_TRUE(c.Succeeds);
            EXPECT_EQ(Media, ReadTestFile(target));
        } catch (const EKavroError& error) {
            EXPECT_FALSE(c.Succeeds) << error.what();
            EXPECT_TRUE(ErrorMessage(error).startsWith(QStringLiteral("ReceiveError\x1f")))
                << error.what();
            // What stays is the media's start without a gap, ready to be continued.
            const QByteArray partial = ReadTestFile(target + QStringLiteral(".part"));
            EXPECT_GT(partial.size(), 0);
            EXPECT_EQ(Media.left(partial.size()), partial);
            EXPECT_TRUE(QFileInfo::exists(target + QStringLiteral(".origin")));
        }
        // The second attempt at a piece asks from where the first broke off.
        const QByteArray log = Server->RequestLog().mid(before);
        const QByteArray rangeHeader = "\r\nRange: bytes=";
        const qsizetype at = log.indexOf(rangeHeader);
        ASSERT_GE(at, 0) << log.toStdString();
        const qsizetype from = at + rangeHeader.size();
        const QList<QByteArray> range = log.mid(from, log.indexOf('\r', from) - from).split('-');
        ASSERT_EQ(2, range.size());
        const int64_t first = range[0].toLongLong(), last = range[1].toLongLong();
        EXPECT_TRUE(log.contains(
            "\r\nRange: bytes=" + QByteArray::number(first + (last - first + 1) / 2) + '-'))
            << log.toStdString();
    }
}

TEST_F(HttpTransferTest, AStoppedDownloadIsContinuedOnlyFromItsOwnPartialFile) {
    // A download over four connections, stopped after about a third.
    auto stopped = [this](const QString& target) {
        auto job = MakeJob();
        job->PieceSize = 256 * 1024;
        TDownloadThread* raw = job.get();
        OnReport = [raw](int64_t read) {
            if (read > MediaSize / 3)
                raw->Terminate();
        };
        job->DownloadFile(Url("/files/media.bin"), target, 0, 0);
        OnReport = nullptr;
        const QByteArray partial = ReadTestFile(target + QStringLiteral(".part"));
        EXPECT_GT(partial.size(), 0);
        EXPECT_LT(partial.size(), MediaSize);
        EXPECT_EQ(Media.left(partial.size()), partial) << "no gap, no foreign byte";
        return partial.size();
    };
    struct Case {
        const char* Name;
        QString Ext = QStringLiteral("mp4"); // of the second job
        const char* Path = "/files/media.bin";
        bool DropOrigin = false;
        bool Continues = true; // asks for the rest first
    } const cases[] = {
        {"the same video and quality"},
        {"another quality", QStringLiteral("webm"), "/files/media.bin", false, false},
        {"no record of the origin", QStringLiteral("mp4"), "/files/media.bin", true, false},
        // Its answer is the whole file, which then comes from the start.
        {"a server that ignores ranges", QStringLiteral("mp4"), "/slow/media.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString target = Target(QString::number(&c - cases) + QStringLiteral(".mp4"));
        const qsizetype kept = stopped(target);
        if (c.DropOrigin) {
            ASSERT_TRUE(QFile::remove(target + QStringLiteral(".origin")));
        }
        Reports.clear();
        auto job = MakeJob(0, 0, c.Ext);
        job->PieceSize = 256 * 1024;
        // Its own address tells its requests from late ones of the stopped job.
        const QByteArray again = c.Path + ("?again" + QByteArray::number(&c - cases));
        job->DownloadFile(Url(again.constData()), target, 0, 0);

        EXPECT_EQ(Media, ReadTestFile(target));
        EXPECT_FALSE(QFileInfo::exists(target + QStringLiteral(".part")));
        EXPECT_FALSE(QFileInfo::exists(target + QStringLiteral(".origin")));
        // Pieces go out together and may be logged in any order; a fresh start
        // is one plain request first.
        QByteArrayList heads;
        for (const QByteArray& head : Server->RequestLog().split('\n'))
            if (head.startsWith("GET "))
                heads.append(head);
            else if (!heads.isEmpty())
                heads.last() += '\n' + head;
        heads.removeIf([&](const QByteArray& head) { return !head.startsWith("GET " + again); });
        ASSERT_FALSE(heads.isEmpty());
        const QByteArray log = heads.join(), firstRequest = heads.first();
        if (c.Continues) {
            EXPECT_TRUE(log.contains("\r\nRange: bytes=" + QByteArray::number(kept) + '-'))
                << log.toStdString();
        } else {
            EXPECT_FALSE(firstRequest.contains("\r\nRange:")) << firstRequest.toStdString();
        }
        ASSERT_FALSE(Reports.empty());
        EXPECT_EQ(MediaSize, Reports.back().ReadCount);
        if (c.Continues && c.Path == std::string("/files/media.bin")) {
            EXPECT_GE(Reports.front().ReadCount, kept) << "progress goes on from what was there";
            EXPECT_EQ(MediaSize, Reports.front().ContentLength);
        }
    }
}

// A folder named under a Latin-1 locale holds the byte 0xE9, which is not
// UTF-8: the partial file and its origin record are found there again.
TEST_F(HttpTransferTest, AStoppedDownloadInAFolderNamedNotInUtf8IsContinued) {
    const TRawFolder made(Out.path().toUtf8() + "/caf\xe9");
    const QByteArray& folder = made.Path;
    const QString target = DecodeFileName(folder) + QStringLiteral("/video.mp4");
    auto stopped = MakeJob();
    stopped->PieceSize = 256 * 1024;
    TDownloadThread* raw = stopped.get();
    OnReport = [raw](int64_t read) {
        if (read > MediaSize / 3)
            raw->Terminate();
    };
    stopped->DownloadFile(Url("/files/media.bin"), target, 0, 0);
    OnReport = nullptr;
    const qsizetype kept = ReadRawFile(folder + "/video.mp4.part").size();
    ASSERT_GT(kept, 0);
    ASSERT_LT(kept, MediaSize);
    EXPECT_EQ(QByteArrayList({"video.mp4.origin", "video.mp4.part"}), RawEntries(folder));

    auto job = MakeJob();
    job->PieceSize = 256 * 1024;
    job->DownloadFile(Url("/files/media.bin?again"), target, 0, 0);
    EXPECT_EQ(Media, ReadRawFile(folder + "/video.mp4"));
    EXPECT_EQ(QByteArrayList{"video.mp4"}, RawEntries(folder));
    EXPECT_EQ(QByteArrayList{"caf\xe9"}, RawEntries(Out.path().toUtf8()));
    // The stopped job's late requests may be logged among these: only the second job's count.
    const QByteArray range = "Range: bytes=" + QByteArray::number(kept) + '-';
    bool again = false, continued = false;
    for (const QByteArray& line : Server->RequestLog().split('\n')) {
        if (line.startsWith("GET "))
            again = line.startsWith("GET /files/media.bin?again");
        else if (again && line.startsWith(range))
            continued = true;
    }
    EXPECT_TRUE(continued) << Server->RequestLog().toStdString();
}

TEST_F(HttpTransferTest, RangeIsAskedForAndWrittenAtItsOffset) {
    auto job = MakeJob(100, 199);
    job->DownloadFile(Url("/files/media.bin"), Target(), 100, 199);

    EXPECT_TRUE(Server->RequestLog().contains("\r\nRange: bytes=100-199\r\n"))
        << Server->RequestLog().toStdString();
    const QByteArray file = ReadTestFile(Target());
    ASSERT_EQ(200, file.size());
    EXPECT_EQ(QByteArray(100, '\0'), file.left(100));
    EXPECT_EQ(Media.mid(100, 100), file.mid(100));
}

TEST_F(HttpTransferTest, NoEndPointMeansAPlainGetFromTheStart) {
    auto job = MakeJob(100, 0);
    job->DownloadFile(Url("/files/media.bin"), Target(), 100, 0);
    EXPECT_FALSE(Server->RequestLog().contains("Range:"));
    EXPECT_EQ(Media, ReadTestFile(Target()));
}

TEST_F(HttpTransferTest, UnknownLengthIsReportedAsMinusOne) {
    auto job = MakeJob();
    job->DownloadFile(Url("/nolength/media.bin"), Target(), 0, 0);
    EXPECT_EQ(Media, ReadTestFile(Target()));
    ASSERT_FALSE(Reports.empty());
    for (const Report& report : Reports)
        EXPECT_EQ(-1, report.ContentLength);
}

TEST_F(HttpTransferTest, RedirectsAreFollowedWithinALimit) {
    auto job = MakeJob();
    job->DownloadFile(Url("/redirect/3/media.bin"), Target(), 0, 0);
    EXPECT_EQ(Media, ReadTestFile(Target()));
    EXPECT_THROW(job->DownloadFile(Url("/redirect/30/media.bin"), Target() + u'2', 0, 0),
                 EKavroError);
    EXPECT_FALSE(QFileInfo::exists(Target() + u'2'));
}

TEST_F(HttpTransferTest, FailuresRaiseAnErrorAndNeverShowTheFinalName) {
    struct Case {
        const char* Path;
        QString Message;        // the start of the message: its key and first values
        qsizetype PartialBytes; // what may stay under the partial name
        int StallTimeout = 60;
    } const cases[] = {
        {"/status/404", KavroMessage(QStringLiteral("HttpStatusError"), {QStringLiteral("404")}),
         0},
        {"/status/500", KavroMessage(QStringLiteral("HttpStatusError"), {QStringLiteral("500")}),
         0},
        {"/files/missing.bin",
         KavroMessage(QStringLiteral("HttpStatusError"), {QStringLiteral("404")}), 0},
        {"/truncate/media.bin", QStringLiteral("ReceiveError\x1f"), MediaSize / 2},
        {"/reset/media.bin", QStringLiteral("ReceiveError\x1f"), -1},
        {"/stall/media.bin", QStringLiteral("ReceiveError\x1f"), MediaSize / 2, 1},
        {"http://127.0.0.1:1/refused", QStringLiteral("SendError\x1f"), 0},
        // A redirect that is not followed, or an empty answer, is no media.
        {"/emptyredirect", KavroMessage(QStringLiteral("HttpStatusError"), {QStringLiteral("302")}),
         0},
        {"/empty", QStringLiteral("EmptyAnswer"), 0},
        // Media comes over HTTP only.
        {"file:///etc/hostname", QStringLiteral("SendError\x1f"), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Path);
        Reports.clear();
        auto job = MakeJob();
        job->StallTimeout = c.StallTimeout;
        const QString target = Target(QString::number(&c - cases) + QStringLiteral(".mp4"));
        const QString url =
            QString::fromLatin1(c.Path).contains(u':') ? QString::fromLatin1(c.Path) : Url(c.Path);
        try {
            job->DownloadFile(url, target, 0, 0);
            ADD_FAILURE() << "no error";
        } catch (const EKavroError& error) {
            EXPECT_TRUE(ErrorMessage(error).startsWith(c.Message)) << error.what();
        }
        EXPECT_FALSE(QFileInfo::exists(target));
        const QByteArray partial = ReadTestFile(target + QStringLiteral(".part"));
        // What arrived stays, and it is the start of the media, never an error page.
        if (c.PartialBytes >= 0) {
            EXPECT_EQ(c.PartialBytes, partial.size());
        }
        if (c.PartialBytes == 0) {
            EXPECT_FALSE(QFileInfo::exists(target + QStringLiteral(".part")))
                << "nothing arrived, so no empty file stays";
        }
        EXPECT_EQ(Media.left(partial.size()), partial);
        if (c.Message.startsWith(u"HttpStatusError")) {
            EXPECT_TRUE(Reports.empty());
        }
    }
}

TEST_F(HttpTransferTest, PauseAndStopEndTheTransferWithExactlyTheBytesRead) {
    for (const bool pause : {true, false}) {
        SCOPED_TRACE(pause ? "pause" : "stop");
        Reports.clear();
        auto job = MakeJob();
        TDownloadThread* raw = job.get();
        OnReport = [raw, pause](int64_t read) {
            if (read > 0)
                pause ? raw->PauseDownload() : raw->Terminate();
        };
        const QString target =
            Target(pause ? QStringLiteral("paused.mp4") : QStringLiteral("stopped.mp4"));
        job->DownloadFile(Url("/files/media.bin"), target, 0, 0);

        ASSERT_GE(Reports.size(), 2u);
        const int64_t readWhenAsked = Reports[1].ReadCount;
        EXPECT_EQ(2u, Reports.size()) << "no report after the request";
        EXPECT_LT(readWhenAsked, MediaSize);
        EXPECT_FALSE(QFileInfo::exists(target));
        const QByteArray partial = ReadTestFile(target + QStringLiteral(".part"));
        EXPECT_EQ(job->LastDownloaded(), partial.size());
        EXPECT_GE(partial.size(), readWhenAsked);
        EXPECT_EQ(Media.left(partial.size()), partial);

        // A later transfer of the same job aborts at its first report and adds nothing.
        const int64_t before = job->LastDownloaded();
        Reports.clear();
        job->DownloadFile(Url("/files/media.bin"), target, 0, 0);
        EXPECT_TRUE(Reports.empty());
        EXPECT_EQ(before, job->LastDownloaded());
        OnReport = nullptr;
    }
}

TEST_F(HttpTransferTest, SpeedIsBytesPerSecondSinceTheStartAcrossATickWrap) {
    WriteTestFile(Site.filePath(QStringLiteral("million.bin")), PatternBytes(1000000));
    struct Case {
        const char* Name;
        uint32_t Elapsed;
        int32_t FinalSpeed;
    } const cases[] = {{"two seconds", 2000, 500000}, {"no time at all", 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Reports.clear();
        auto job = MakeJob();
        bool started = false;
        const uint32_t start = 0xFFFFFF00u;
        job->TickSource = [&] {
            const uint32_t now = started ? start + c.Elapsed : start;
            started = true;
            return now;
        };
        job->DownloadFile(Url("/files/million.bin"), Target(), 0, 0);
        ASSERT_GE(Reports.size(), 2u);
        EXPECT_EQ(0, Reports.front().Speed);
        EXPECT_EQ(1000000, Reports.back().ReadCount);
        EXPECT_EQ(c.FinalSpeed, Reports.back().Speed);
    }
}

TEST_F(HttpTransferTest, AnExistingFileIsReplacedNotAppendedTo) {
    WriteTestFile(Target(), QByteArray(MediaSize * 2, 'x'));
    WriteTestFile(Target() + QStringLiteral(".part"), QByteArray(MediaSize * 2, 'y'));
    auto job = MakeJob();
    job->DownloadFile(Url("/files/media.bin"), Target(), 0, 0);
    EXPECT_EQ(Media, ReadTestFile(Target()));
}

TEST_F(HttpTransferTest, AFileThatCannotBeCreatedIsAClearErrorAndFetchesNothing) {
    auto job = MakeJob();
    const QString target = Out.filePath(QStringLiteral("no such folder/video.mp4"));
    try {
        job->DownloadFile(Url("/files/media.bin"), target, 0, 0);
        FAIL() << "no error";
    } catch (const EKavroError& error) {
        EXPECT_TRUE(ErrorMessage(error).startsWith(
            KavroMessage(QStringLiteral("CannotCreateFile"), {target + QStringLiteral(".part")})))
            << error.what();
    }
    EXPECT_TRUE(Reports.empty());
    EXPECT_TRUE(Server->RequestLog().isEmpty());
}

TEST_F(HttpTransferTest, APartialFileInUseByAnotherDownloadIsLeftAlone) {
    const QString partial = Target() + QStringLiteral(".part");
    WriteTestFile(partial, "someone else's bytes");
    const int fd = open(QFile::encodeName(partial).constData(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, flock(fd, LOCK_EX));
    auto job = MakeJob();
    EXPECT_THROW(job->DownloadFile(Url("/files/media.bin"), Target(), 0, 0), EKavroError);
    close(fd);
    EXPECT_EQ(QByteArray("someone else's bytes"), ReadTestFile(partial));
}
