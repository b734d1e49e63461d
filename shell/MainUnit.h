#pragma once

#include "GlobalLanguageForm.h"
#include "QualityCatalogue.h"
#include "UpdateUnit.h"

#include <QEvent>
#include <QList>

#include <atomic>
#include <cstdint>
#include <memory>

namespace Ui {
class frmMain;
}
class QCloseEvent;
class QTimer;
class TDownloadThread;
class TEngineUpdateThread;
class THttpClient;

// The private message the window posts to itself when a download has ended;
// it is delivered by the event loop, never while the window waits for a worker.
inline constexpr int WM_STOPDOWNLOAD = 9216;

// The program's only window: address, quality and output folder, one download
// at a time with live status and progress, and the same button to stop it.
class TfrmMain : public TForm, public TMessageWindow {
    Q_OBJECT
    friend class TForm;

public:
    ~TfrmMain() override;

    void StartDownload(const QString& URL, const QString& FileName, const QString& DownloadDir);
    // Ends the download, waiting for its worker; does nothing when none runs.
    void StopDownload();
    // Posts WM_STOPDOWNLOAD for the current download (from the UI thread).
    void PostStopDownload();

    void BuildQualityList();
    void SetDefaultOutputFolder();
    void LoadYoutubeQuality();
    void SaveYoutubeQuality();
    TYoutubeQualityItem GetSelectedQuality() const;

    bool Downloading() const { return FDownloading; }

    // The update check's question, on the UI thread: WMUpdateMessage for the
    // update message, 0 for any other.
    intptr_t SendMessage(uint32_t message) override;

protected:
    explicit TfrmMain(QWidget* parent = nullptr);

    void FormCreate() override;
    // FormCloseQuery: a running download is stopped, then placement and quality
    // are saved. Closing is always allowed.
    void closeEvent(QCloseEvent* event) override;
    void customEvent(QEvent* event) override;

private:
    void FormDestroy();
    void btnDownloadClick();
    void btnOpenClick();
    void tmrDownloadStatusTimer();
    // A stop message names its download, so that one left in the queue by a
    // download that has ended never stops the next one.
    void PostStopDownload(uint64_t download);
    void WMStopDownload(uint64_t download);
    // 0 while a download runs; otherwise the notice, the window closes, 1.
    intptr_t WMUpdateMessage();

    // Worker events: progress and errors arrive on the worker, the others on
    // the UI thread while the worker waits.
    void ReceiveThreadDataEvent(THttpClient* Sender, int32_t ThreadNo, int32_t ASpeed,
                                int64_t AContentLength, int64_t AReadCount, bool& Abort,
                                void* VisualObject);
    void ReceiveGetDownloadURLEvent(TDownloadThread* Sender);
    void ReceiveGetMediaInfoEvent(TDownloadThread* Sender);
    void ReceiveErrorEvent(TDownloadThread* Sender, const QString& Msg, uint64_t download);
    void ReceiveThreadStartEvent(TDownloadThread* Sender, const QString& FileName,
                                 int32_t DownloadIndex, int32_t DownloadCount);
    void ReceiveThreadEndEvent(TDownloadThread* Sender, uint64_t download);

    std::unique_ptr<Ui::frmMain> FUi;
    QTimer* tmrDownloadStatus;

    bool FDownloading = false;
    uint64_t FDownloadSerial = 0; // which download is the current one
    // Written by the worker's error event, read only after the worker has ended.
    QString FDownloadErrMsg;
    QString FCurrentDownloadFileName;
    int32_t FDownloadIndex = 0;
    int32_t FDownloadCount = 0;
    std::atomic<int32_t> FPosition{0};
    std::atomic<int32_t> FSpeed{0};
    std::atomic<bool> FEnabledStatusTimer{false};
    std::unique_ptr<TDownloadThread> FDownloadThread;
    std::unique_ptr<QList<TYoutubeQualityItem>> FYoutubeQualityItem;
    // Keeps the extraction engine current in the background, once a day at most.
    std::unique_ptr<TEngineUpdateThread> FEngineUpdate;
    // Asks for a new version of Kavro once per start, in the background.
    std::unique_ptr<TZephUpdater> FZephUpdater;
};
