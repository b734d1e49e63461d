#include "uDownloadThread.h"

#include "EngineBridge.h"
#include "FileNameBytes.h"
#include "HttpClient.h"
#include "KavroError.h"
#include "MediaResolution.h"
#include "Process.h"
#include "QualityCatalogue.h"
#include "StreamMuxer.h"

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

QByteArray ReadSmallFile(const QByteArray& path) {
    FileDescriptor file(open(path.constData(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0)
        return {};
    char buffer[4096];
    const ssize_t count = read(file.Get(), buffer, sizeof(buffer));
    return QByteArray(buffer, count > 0 ? count : 0);
}

// Best effort: without it a later attempt only starts over.
void WriteSmallFile(const QByteArray& path, const QByteArray& text) {
    const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, text.constData(), static_cast<size_t>(text.size())) != text.size())
        unlink(path.constData());
    close(fd);
}

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
                unlink(EncodeFileName(videoFile).constData());
                unlink(EncodeFileName(audioFile).constData());
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

QByteArray TDownloadThread::OriginText(int64_t total) const {
    return "url=" + FURL.toUtf8() + "\nformat=" + FFormatExt.toUtf8() + ':' +
           FFormatHeight.toUtf8() + "\nlength=" + QByteArray::number(total) + '\n';
}

void TDownloadThread::DownloadFile(const QString& URL, const QString& FileName, int64_t StartPoint,
                                   int64_t EndPoint) {
    // A large file comes in pieces of PieceSize: the video service slows long
    // single requests down, each connection on its own. The first request is a
    // plain GET; when its answer names a length above one piece and takes
    // ranges, the file comes as Range requests over up to Connections
    // connections at once. For the job's events it stays one transfer: the
    // whole length, the bytes so far. A partial file left by an earlier attempt at the same video,
    // quality and length is continued where it ends; its origin is recorded
    // beside it until the file is complete.
    bool inPieces = EndPoint == 0 && FEndPoint == 0 && PieceSize > 0;
    const QString partial = FileName + QStringLiteral(".part");
    // Never through Qt's file classes: they would change bytes that are not UTF-8.
    const QByteArray partialPath = EncodeFileName(partial);
    const QByteArray originPath = EncodeFileName(FileName + QStringLiteral(".origin"));
    FileDescriptor file(open(partialPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (file.Get() < 0)
        throw CannotCreate(partial, errno);
    // Truncated only once this job holds the file, so another download of the
    // same name is never cut short underneath.
    if (flock(file.Get(), LOCK_EX | LOCK_NB) != 0)
        throw EKavroError(QStringLiteral("FileInUse"), {partial});

    int64_t offset = 0; // bytes in the file before the current request
    int64_t total = -1; // the whole length
    if (inPieces) {
        struct stat info {};
        const QByteArray origin = ReadSmallFile(originPath);
        const int64_t saved = origin.mid(origin.lastIndexOf("length=") + 7).trimmed().toLongLong();
        if (saved > 0 && origin == OriginText(saved) && fstat(file.Get(), &info) == 0 &&
            info.st_size > 0 && info.st_size <= saved) {
            offset = info.st_size;
            total = saved;
        }
    }
    if (offset == 0) {
        unlink(originPath.constData());
        if (ftruncate(file.Get(), 0) != 0)
            throw CannotCreate(partial, errno);
    }
    FResumedBytes = offset;

    bool ranged = offset > 0; // requests of pieces, not the first plain GET
    bool toPieces = false;    // the first answer asked for pieces
    THttpClient client;
    client.SetStallTimeout(StallTimeout);
    client.SetProgress([&](THttpClient* sender, int64_t contentLength, int64_t readCount,
                           bool& abort) {
        if (ranged) {
            DoReceiveData(sender, total, offset + readCount, abort);
            return;
        }
        total = contentLength;
        if (readCount == 0 && inPieces && total > 0 && sender->AcceptsRanges())
            WriteSmallFile(originPath, OriginText(total));
        DoReceiveData(sender, contentLength, readCount, abort);
        // A large file that the server gives in ranges comes in pieces from
        // the start, all connections at once, so the first answer only
        // tells the length.
        if (!abort && readCount == 0 && inPieces && total > PieceSize && sender->AcceptsRanges()) {
            toPieces = true;
            abort = true;
        }
    });
    client.SetStopCheck([this] { return Terminated() || FPauseDownload.load(); });

    // Nothing arrived: no empty file stays.
    auto removeIfEmpty = [&] {
        struct stat info {};
        if (fstat(file.Get(), &info) == 0 && info.st_size == 0) {
            unlink(partialPath.constData());
            unlink(originPath.constData());
        }
    };

    // Pieces arrive out of order: after a stop or a failure only the part
    // without a gap stays, so that a later job can continue it.
    auto keepContiguous = [&] {
        if (ftruncate(file.Get(), client.ContiguousEnd()) != 0)
            throw EKavroError(QStringLiteral("FileWriteError"), {SystemReason(errno)});
    };

    FTimeStart = TickSource();
    bool restarted = false;
    for (;;) {
        if (!ranged) {
            QByteArray range;
            if (FEndPoint != 0) {
                if (StartPoint > 0 && lseek(file.Get(), StartPoint, SEEK_SET) < 0)
                    throw CannotCreate(partial, errno);
                range =
                    "bytes=" + (StartPoint >= 0 ? QByteArray::number(StartPoint) : QByteArray()) +
                    '-' + (EndPoint >= 0 ? QByteArray::number(EndPoint) : QByteArray());
            }
            toPieces = false;
            try {
                client.Get(URL, file.Get(), range);
            } catch (const EKavroError&) {
                removeIfEmpty();
                throw;
            }
            if (client.Aborted() && !toPieces) {
                FTransferIncomplete = true;
                return;
            }
            if (!toPieces)
                break; // the whole body
            offset = client.ReadCount();
            ranged = true;
        }
        THttpClient::TRangesResult result;
        try {
            result = client.GetRanges(URL, file.Get(), offset, total, PieceSize,
                                      std::max(1, Connections));
        } catch (const EKavroError&) {
            keepContiguous();
            removeIfEmpty();
            throw;
        }
        if (result == THttpClient::TRangesResult::Complete)
            break;
        if (result == THttpClient::TRangesResult::Aborted) {
            keepContiguous();
            FTransferIncomplete = true;
            return;
        }
        // The server ignores ranges, or the resource is not the one begun:
        // once more from the start, in one request.
        if (restarted)
            throw EKavroError(QStringLiteral("HttpStatusError"),
                              {QString::number(client.Status())});
        restarted = true;
        unlink(originPath.constData());
        if (ftruncate(file.Get(), 0) != 0 || lseek(file.Get(), 0, SEEK_SET) != 0)
            throw EKavroError(QStringLiteral("FileWriteError"), {SystemReason(errno)});
        offset = FResumedBytes = 0;
        ranged = inPieces = false;
    }
    // A playlist or manifest is an address list, not the media: the selector
    // found no file to fetch directly.
    char head[512] = {};
    const ssize_t headSize = StartPoint > 0 ? 0 : pread(file.Get(), head, sizeof(head) - 1, 0);
    const QByteArray start = QByteArray(head, headSize > 0 ? headSize : 0).trimmed();
    if (start.startsWith("#EXTM3U") || start.startsWith("<MPD") ||
        (start.startsWith("<?xml") && start.contains("<MPD"))) {
        unlink(partialPath.constData());
        unlink(originPath.constData());
        throw EKavroError(QStringLiteral("PlaylistNotMedia"));
    }
    // Renamed while still locked, so nobody can truncate the complete file
    // between the two steps.
    const QByteArray finalPath = EncodeFileName(FileName);
    if (std::rename(partialPath.constData(), finalPath.constData()) != 0)
        throw CannotCreate(FileName, errno);
    if (file.Close() != 0) {
        const int error = errno;
        std::rename(finalPath.constData(), partialPath.constData());
        throw EKavroError(QStringLiteral("FileWriteError"), {SystemReason(error)});
    }
    unlink(originPath.constData());
}

void TDownloadThread::DoReceiveData(THttpClient* Sender, int64_t AContentLength, int64_t AReadCount,
                                    bool& Abort) {
    if (Terminated() || FPauseDownload.load()) {
        Abort = true;
        FLastDownloaded += AReadCount - FResumedBytes; // what this transfer added
        return;
    }
    if (!FOnThreadData)
        return;
    int32_t speed = 0;
    if (AReadCount != 0) {
        // Unsigned 32-bit difference: right across a wrap of the tick counter.
        const uint32_t elapsed = TickSource() - FTimeStart;
        if (elapsed != 0)
            speed = static_cast<int32_t>((AReadCount - FResumedBytes) * 1000 /
                                         static_cast<int64_t>(elapsed));
    }
    FOnThreadData(Sender, FThreadNo, speed, FLastDownloaded + AContentLength,
                  FLastDownloaded + AReadCount, Abort, FVisualObject);
}
