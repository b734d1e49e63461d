#pragma once

#include "Process.h"
#include "TThread.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>

class THttpClient;
class TDownloadThread;

// Progress, raised on the job's thread per report of a transfer.
using TDownloadThreadDataEvent = std::function<void(
    THttpClient* Sender, int32_t ThreadNo, int32_t ASpeed, int64_t AContentLength,
    int64_t AReadCount, bool& Abort, void* VisualObject)>;
using TGetDownloadURLEvent = std::function<void(TDownloadThread* Sender)>;
using TGetMediaInfoEvent = std::function<void(TDownloadThread* Sender)>;
using TErrorEvent = std::function<void(TDownloadThread* Sender, const QString& Msg)>;
using TDownloadThreadStartEvent =
    std::function<void(TDownloadThread* Sender, const QString& FileName, int32_t DownloadIndex,
                       int32_t DownloadCount)>;
using TDownloadThreadEndEvent = std::function<void(TDownloadThread* Sender)>;

// One download job on a thread of its own: from a page address and a catalogue
// entry to a finished file in the download folder. Created suspended; the owner
// assigns the events, starts it, and ends it by Terminate() then WaitFor().
//
// The address-resolution, start and end events run on the UI thread while the
// job waits; progress and error events run on the job's thread.
class TDownloadThread : public TThread {
public:
    TDownloadThread(const QString& URL, const QString& FileName, const QString& DownloadDir,
                    const QString& FormatExt, const QString& FormatHeight, int32_t ThreadNo,
                    int64_t StartPoint, int64_t EndPoint);
    ~TDownloadThread() override;

    // Also ends an extraction or a merge under way, not only a transfer.
    void Terminate() override;

    void PauseDownload() { FPauseDownload.store(true); }
    void ResumeDownload() { FShouldResume.store(true); }
    bool IsPaused() const { return FPauseDownload.load(); }
    void* VisualObject() const { return FVisualObject; }
    void SetVisualObject(void* value) { FVisualObject = value; }
    bool CanResume() const { return FCanResume.load(); }
    void SetCanResume(bool value) { FCanResume.store(value); }

    void SetOnThreadData(TDownloadThreadDataEvent e) { FOnThreadData = std::move(e); }
    void SetOnGetDownloadURLEvent(TGetDownloadURLEvent e) { FOnGetDownloadURLEvent = std::move(e); }
    void SetOnGetMediaInfoEvent(TGetMediaInfoEvent e) { FOnGetMediaInfoEvent = std::move(e); }
    void SetOnErrorEvent(TErrorEvent e) { FOnErrorEvent = std::move(e); }
    void SetOnDownloadThreadStartEvent(TDownloadThreadStartEvent e) {
        FOnDownloadThreadStartEvent = std::move(e);
    }
    void SetOnDownloadThreadEndEvent(TDownloadThreadEndEvent e) {
        FOnDownloadThreadEndEvent = std::move(e);
    }

    // Fetches URL into FileName: the body goes to FileName + ".part", which takes
    // the final name only when the transfer completed. A stopped or paused
    // transfer returns normally and leaves what arrived under the partial name,
    // with FileName + ".origin" beside it, from which a later job continues.
    void DownloadFile(const QString& URL, const QString& FileName, int64_t StartPoint,
                      int64_t EndPoint);

    // Read only on the job's thread, or after it has ended.
    int64_t LastDownloaded() const { return FLastDownloaded; }
    bool NeedYoutubeMux() const { return FNeedYoutubeMux; }
    // The file is complete under its final name (a stop that came later changes nothing).
    bool Completed() const { return FCompleted.load(); }
    const QString& FormatExt() const { return FFormatExt; }
    const QString& FileName() const { return FFileName; }

    // Where the job reads the millisecond tick; tests replace it.
    std::function<uint32_t()> TickSource = GetTickCount;
    // Seconds without a received byte before a transfer fails.
    int StallTimeout = 60;
    // The size of the pieces a large file is fetched in (0: in one request).
    int64_t PieceSize = 10 * 1024 * 1024;
    // Pieces in flight at once, each over its own connection (1: one at a time).
    int Connections = 4;

protected:
    void Execute() override;

private:
    void DoReceiveData(THttpClient* Sender, int64_t AContentLength, int64_t AReadCount,
                       bool& Abort);
    void DoError(const QString& Msg);
    bool ResolveDownload();
    void RaiseDownloadStart(int32_t index, int32_t count);
    void RaiseDownloadEnd();
    // What a partial file records of where it comes from.
    QByteArray OriginText(int64_t total) const;

    TDownloadThreadDataEvent FOnThreadData;
    TGetDownloadURLEvent FOnGetDownloadURLEvent;
    TGetMediaInfoEvent FOnGetMediaInfoEvent;
    TErrorEvent FOnErrorEvent;
    TDownloadThreadStartEvent FOnDownloadThreadStartEvent;
    TDownloadThreadEndEvent FOnDownloadThreadEndEvent;
    void* FVisualObject = nullptr;
    std::atomic<bool> FCanResume{false};
    std::atomic<bool> FShouldResume{false};
    int64_t FLastDownloaded = 0;
    std::atomic<bool> FPauseDownload{false};
    int32_t FDownloadType = 1;
    QString FURL;
    QString FFileName;
    QString FDownloadDir;
    QString FFormatExt;
    QString FFormatHeight;
    int64_t FStartPoint;
    int64_t FEndPoint;
    int32_t FThreadNo;
    uint32_t FTimeStart = 0;
    int64_t FResumedBytes = 0; // already in the file when the transfer began
    bool FNeedYoutubeMux = false;
    QString FVideoURL;
    QString FAudioURL;
    // A transfer of this run was stopped, paused or aborted by its receiver.
    bool FTransferIncomplete = false;
    TChildControl FMuxer; // the merging muxer
    std::atomic<bool> FCompleted{false};
};
