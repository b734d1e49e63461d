#include "uDownloadThread.h"

#include "EngineBridge.h"
#include "HttpClient.h"
#include "KavroError.h"
#include "MediaResolution.h"
#include "Process.h"
#include "QualityCatalogue.h"
#include "StreamMuxer.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int ResolveAttempts = 3;

QString WithSeparator(const QString& folder) {
    return folder.endsWith(u'/') ? folder : folder + u'/';
}

QString SystemReason(int error) {
    return QString::fromLocal8Bit(strerror(error));
}

EKavroError CannotCreate(const QString& path, int error) {
    return EKavroError(QStringLiteral("CannotCreateFile"), {path, SystemReason(error)});
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : FFd(fd) {}
    ~FileDescriptor() {
        if (FFd >= 0)
            close(FFd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return FFd; }
    int Close() {
        const int result = close(FFd);
        FFd = -1;
        return result;
    }

private:
    int FFd;
};

} // namespace

TDownloadThread::TDownloadThread(const QString& URL, const QString& FileName,
                                 const QString& DownloadDir, const QString& FormatExt,
                                 const QString& FormatHeight, int32_t ThreadNo, int64_t StartPoint,
                                 int64_t EndPoint)
    : FURL(URL), FFileName(FileName), FDownloadDir(DownloadDir), FFormatExt(FormatExt.toLower()),
      FFormatHeight(FormatHeight), FStartPoint(StartPoint), FEndPoint(EndPoint),
      FThreadNo(ThreadNo) {
    if (FDownloadType == 1)
        FNeedYoutubeMux = CheckNeedYoutubeMux(FFormatExt, FFormatHeight);
}

TDownloadThread::~TDownloadThread() {
    // The thread must end while this object's members still exist.
    if (Started()) {
        Terminate();
        WaitFor();
    }
}

void TDownloadThread::DoError(const QString& Msg) {
    if (FOnErrorEvent)
        FOnErrorEvent(this, Msg);
}

void TDownloadThread::RaiseDownloadStart(int32_t index, int32_t count) {
    if (FOnDownloadThreadStartEvent)
        Synchronize([&] { FOnDownloadThreadStartEvent(this, FFileName, index, count); });
}

void TDownloadThread::RaiseDownloadEnd() {
    if (FOnDownloadThreadEndEvent)
        Synchronize([&] { FOnDownloadThreadEndEvent(this); });
}

bool TDownloadThread::ResolveDownload() {
    for (int attempt = 0; attempt < ResolveAttempts; ++attempt) {
        TResolvedMedia media;
        if (ResolveMedia(FURL, FFormatExt, FFormatHeight, FNeedYoutubeMux, media)) {
            FVideoURL = media.VideoURL;
            FAudioURL = media.AudioURL;
            FFileName = WithSeparator(FDownloadDir) + media.FileName;
            return true;
        }
        if (Terminated())
            return false;
    }
    DoError(QStringLiteral("FailedToGetDownloadURL"));
    return false;
}

void TDownloadThread::Execute() {
    // Every way out of the first steps ends in an event or in a stop, so the
    // owner never waits for an event that does not come.
    try {
        if (FOnGetDownloadURLEvent)
            Synchronize([this] { FOnGetDownloadURLEvent(this); });
        const QString videoId = ExtractVideoID(FURL);
        if (videoId.isEmpty()) {
            DoError(QStringLiteral("InvalidYoutubeURL"));
            return;
        }
        FURL = CanonicalWatchURL(videoId);
        if (!ResolveDownload() || Terminated())
            return;
    } catch (const std::exception& error) {
        DoError(ErrorMessage(error));
        return;
    } catch (...) {
        DoError(QStringLiteral("UnexpectedError"));
        return;
    }

    try {
        FTransferIncomplete = false;
        if (FNeedYoutubeMux) {
            const QString videoFile = MuxTempVideoFile(FFileName);
            const QString audioFile = MuxTempAudioFile(FFileName);
            RaiseDownloadStart(1, 2);
            DownloadFile(FVideoURL, videoFile, FStartPoint, FEndPoint);
            // A stopped job sends no further request.
            if (!FTransferIncomplete) {
                RaiseDownloadStart(2, 2);
                DownloadFile(FAudioURL, audioFile, FStartPoint, FEndPoint);
            }
            // Partial streams are never merged: what arrived stays for the user.
            if (!FTransferIncomplete && !Terminated()) {
                MuxStreams(videoFile, audioFile, FFileName, &FMuxer);
                QFile::remove(videoFile);
                QFile::remove(audioFile);
                FCompleted.store(true);
            }
        } else {
            RaiseDownloadStart(1, 1);
            DownloadFile(FVideoURL, FFileName, FStartPoint, FEndPoint);
            FCompleted.store(!FTransferIncomplete);
        }
        RaiseDownloadEnd();
    } catch (const std::exception& error) {
        // A merge ended by Stop fails as a merge; for the user it is a stop.
        if (Terminated())
            RaiseDownloadEnd();
        else
            DoError(ErrorMessage(error));
    } catch (...) {
        DoError(QStringLiteral("UnexpectedError"));
    }
}

void TDownloadThread::Terminate() {
    TThread::Terminate();
    StopEngine();
    StopChild(FMuxer);
}

void TDownloadThread::DownloadFile(const QString& URL, const QString& FileName, int64_t StartPoint,
                                   int64_t EndPoint) {
    // A large file comes in pieces of PieceSize: the video service slows long
    // single requests down. The first request is a plain GET read up to one
    // piece; the rest are Range requests, each checked, retried up to three
    // times. For the job's events it stays one transfer: the whole length, the
    // bytes so far.
    const bool inPieces = EndPoint == 0 && FEndPoint == 0 && PieceSize > 0;
    int64_t offset = 0; // bytes in the file before the current request
    int64_t total = -1; // the whole length, from the first answer
    bool pieceDone = false;
    THttpClient client;
    client.SetStallTimeout(StallTimeout);
    client.SetProgress(
        [&](THttpClient* sender, int64_t contentLength, int64_t readCount, bool& abort) {
            if (offset == 0)
                total = contentLength;
            DoReceiveData(sender, offset == 0 ? contentLength : total, offset + readCount, abort);
            if (!abort && inPieces && readCount >= PieceSize && total > offset + readCount &&
                (offset > 0 || sender->AcceptsRanges())) {
                pieceDone = true;
                abort = true; // this piece is in; the next one comes by its own request
            }
        });
    client.SetStopCheck([this] { return Terminated() || FPauseDownload.load(); });

    const QString partial = FileName + QStringLiteral(".part");
    const QByteArray partialPath = QFile::encodeName(partial);
    FileDescriptor file(open(partialPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (file.Get() < 0)
        throw CannotCreate(partial, errno);
    // Truncated only once this job holds the file, so another download of the
    // same name is never cut short underneath.
    if (flock(file.Get(), LOCK_EX | LOCK_NB) != 0)
        throw EKavroError(QStringLiteral("FileInUse"), {partial});
    if (ftruncate(file.Get(), 0) != 0)
        throw CannotCreate(partial, errno);

    FTimeStart = TickSource();
    QByteArray range;
    if (FEndPoint != 0) {
        if (StartPoint > 0 && lseek(file.Get(), StartPoint, SEEK_SET) < 0)
            throw CannotCreate(partial, errno);
        range = "bytes=" + (StartPoint >= 0 ? QByteArray::number(StartPoint) : QByteArray()) + '-' +
                (EndPoint >= 0 ? QByteArray::number(EndPoint) : QByteArray());
    }
    int failures = 0;
    for (;;) {
        pieceDone = false;
        try {
            client.Get(URL, file.Get(), range);
        } catch (const EKavroError&) {
            // A piece after the first is asked for again, from where it began.
            if (offset > 0 && ++failures < 3 && ftruncate(file.Get(), offset) == 0 &&
                lseek(file.Get(), offset, SEEK_SET) == offset)
                continue;
            // A transfer that failed before its first byte leaves no empty file.
            struct stat info {};
            if (fstat(file.Get(), &info) == 0 && info.st_size == 0)
                unlink(partialPath.constData());
            throw;
        }
        if (client.Aborted() && !pieceDone) {
            FTransferIncomplete = true;
            return;
        }
        if (offset > 0 && client.Status() == 200) {
            // The server ignores ranges after all: its whole body, from the start.
            if (ftruncate(file.Get(), 0) != 0 || lseek(file.Get(), 0, SEEK_SET) != 0)
                throw EKavroError(QStringLiteral("FileWriteError"), {SystemReason(errno)});
            offset = 0;
            range.clear();
            continue;
        }
        if (offset > 0 && (client.RangeStart() != offset || client.RangeTotal() != total))
            throw EKavroError(QStringLiteral("HttpStatusError"),
                              {QString::number(client.Status())});
        const int64_t written = offset + client.ReadCount();
        if (!inPieces || total <= 0 || written >= total)
            break;
        offset = written;
        failures = 0;
        range = "bytes=" + QByteArray::number(offset) + '-' +
                QByteArray::number(std::min(offset + PieceSize, total) - 1);
    }
    // A playlist or manifest is an address list, not the media: the selector
    // found no file to fetch directly.
    char head[512] = {};
    const ssize_t headSize = StartPoint > 0 ? 0 : pread(file.Get(), head, sizeof(head) - 1, 0);
    const QByteArray start = QByteArray(head, headSize > 0 ? headSize : 0).trimmed();
    if (start.startsWith("#EXTM3U") || start.startsWith("<MPD") ||
        (start.startsWith("<?xml") && start.contains("<MPD"))) {
        unlink(partialPath.constData());
        throw EKavroError(QStringLiteral("PlaylistNotMedia"));
    }
    // Renamed while still locked, so nobody can truncate the complete file
    // between the two steps.
    const QByteArray finalPath = QFile::encodeName(FileName);
    if (std::rename(partialPath.constData(), finalPath.constData()) != 0)
        throw CannotCreate(FileName, errno);
    if (file.Close() != 0) {
        const int error = errno;
        std::rename(finalPath.constData(), partialPath.constData());
        throw EKavroError(QStringLiteral("FileWriteError"), {SystemReason(error)});
    }
}

void TDownloadThread::DoReceiveData(THttpClient* Sender, int64_t AContentLength, int64_t AReadCount,
                                    bool& Abort) {
    if (Terminated() || FPauseDownload.load()) {
        Abort = true;
        FLastDownloaded += AReadCount;
        return;
    }
    if (!FOnThreadData)
        return;
    int32_t speed = 0;
    if (AReadCount != 0) {
        // Unsigned 32-bit difference: right across a wrap of the tick counter.
        const uint32_t elapsed = TickSource() - FTimeStart;
        if (elapsed != 0)
            speed = static_cast<int32_t>(AReadCount * 1000 / static_cast<int64_t>(elapsed));
    }
    FOnThreadData(Sender, FThreadNo, speed, FLastDownloaded + AContentLength,
                  FLastDownloaded + AReadCount, Abort, FVisualObject);
}
