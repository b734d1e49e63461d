#include "MainUnit.h"

#include "ConfigurationPlacement.h"
#include "ConfigurationUnit.h"
#include "DownloadStatus.h"
#include "EngineInstaller.h"
#include "GLMsgDlg.h"
#include "GlobalLanguage.h"
#include "KavroError.h"
#include "PathUtils.h"
#include "uDownloadThread.h"
#include "ui_MainUnit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QTimer>
#include <QUrl>

namespace {

const QEvent::Type StopDownloadEvent = static_cast<QEvent::Type>(QEvent::User + WM_STOPDOWNLOAD);

class TStopDownloadEvent : public QEvent {
public:
    explicit TStopDownloadEvent(uint64_t download)
        : QEvent(StopDownloadEvent), Download(download) {}
    const uint64_t Download;
};

const QString QualitySection = QStringLiteral("frmMain");
const QString QualityExtKey = QStringLiteral("YoutubeQualityExt");
const QString QualityHeightKey = QStringLiteral("YoutubeQualityHeight");

QString Text(const char* key) {
    return GetLanguageString(QString::fromLatin1(key));
}

} // namespace

TfrmMain::TfrmMain(QWidget* parent) : TForm(parent), FUi(std::make_unique<Ui::frmMain>()) {
    FUi->setupUi(this);
    // A fixed single border: no resizing and no maximise box.
    setFixedSize(546, 216);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);

    tmrDownloadStatus = new QTimer(this);
    tmrDownloadStatus->setObjectName(QStringLiteral("tmrDownloadStatus"));
    tmrDownloadStatus->setInterval(500);
    connect(tmrDownloadStatus, &QTimer::timeout, this, &TfrmMain::tmrDownloadStatusTimer);
    connect(FUi->btnDownload, &QPushButton::clicked, this, &TfrmMain::btnDownloadClick);
    connect(FUi->btnOpen, &QPushButton::clicked, this, &TfrmMain::btnOpenClick);
}

TfrmMain::~TfrmMain() {
    FormDestroy();
}

void TfrmMain::FormCreate() {
    BuildQualityList();
    SetDefaultOutputFolder();
    FUi->btnDownload->setText(Text("Download"));
    FUi->lblStatus->setText(Text("Ready"));
    LoadPlacement(this);
    LoadYoutubeQuality();
    setFont(QApplication::font("QMenu"));
    FEngineUpdate = std::make_unique<TEngineUpdateThread>(DefaultEngineInstallOptions());
    FEngineUpdate->Start();
    // KAVRO_UPDATE_URL points a build at another service (a test's, a mirror).
    const QString updateUrl = qEnvironmentVariableIsSet("KAVRO_UPDATE_URL")
                                  ? qEnvironmentVariable("KAVRO_UPDATE_URL")
                                  : QString::fromUtf8(UpdateServiceUrl);
    FZephUpdater = std::make_unique<TZephUpdater>(KavroVersion, UpdateMessageNumber, updateUrl,
                                                  QByteArray("kavro"), this, true, true);
}

intptr_t TfrmMain::SendMessage(uint32_t message) {
    return message == UpdateMessageNumber ? WMUpdateMessage() : 0;
}

intptr_t TfrmMain::WMUpdateMessage() {
    if (FDownloading)
        return 0;
    GLMessageDlg(Text("UpdateNewVersion"), mtInformation, MsgDlgButtons({mbOK}));
    close();
    return 1;
}

void TfrmMain::FormDestroy() {
    // A window destroyed without closing still never leaves a worker running.
    if (FDownloadThread) {
        FDownloadThread->Terminate();
        FDownloadThread->WaitFor();
        FDownloadThread.reset();
    }
    FYoutubeQualityItem.reset();
    FZephUpdater.reset();  // waits for the check to end
    FEngineUpdate.reset(); // stops a download under way, waits for the thread
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    if (FDownloadThread)
        StopDownload();
    SavePlacement(this);
    try {
        SaveYoutubeQuality();
    } catch (const std::exception& error) {
        // The window closes all the same; the user learns the choice was not kept.
        GLMessageDlg(TranslateMessage(ErrorMessage(error)), mtError, MsgDlgButtons({mbOK}));
    }
    event->accept();
}

void TfrmMain::customEvent(QEvent* event) {
    if (event->type() == StopDownloadEvent)
        WMStopDownload(static_cast<TStopDownloadEvent*>(event)->Download);
    else
        TForm::customEvent(event);
}

void TfrmMain::BuildQualityList() {
    FYoutubeQualityItem = std::make_unique<QList<TYoutubeQualityItem>>();
    for (const TQualityCatalogueEntry& entry : QualityCatalogue()) {
        FUi->cbxVideoQuality->addItem(GetLanguageString(QString::fromLatin1(entry.PrefixKey)) +
                                      QString::fromLatin1(entry.Literal));
        FYoutubeQualityItem->append(entry.Item());
    }
    FUi->cbxVideoQuality->setMaxVisibleItems(FUi->cbxVideoQuality->count());
    FUi->cbxVideoQuality->setCurrentIndex(0);
}

void TfrmMain::SetDefaultOutputFolder() {
    QString folder = GetSpecialFolder(4);
    // Without a documents folder, the home folder takes its place.
    if (folder.isEmpty())
        folder = QDir::homePath() + u'/';
    folder += QStringLiteral("Kavro");
    QDir().mkpath(folder);
    FUi->ledtOutputFolder->setText(folder);
}

void TfrmMain::LoadYoutubeQuality() {
    const QString ext = ReadConfigString(QualitySection, QualityExtKey, QString());
    const QString height = ReadConfigString(QualitySection, QualityHeightKey, QString());
    if (ext.isEmpty() && height.isEmpty())
        return;
    for (qsizetype i = 0; i < FYoutubeQualityItem->size(); ++i) {
        const TYoutubeQualityItem& item = FYoutubeQualityItem->at(i);
        if (item.Ext.compare(ext, Qt::CaseInsensitive) == 0 &&
            item.Height.compare(height, Qt::CaseInsensitive) == 0) {
            FUi->cbxVideoQuality->setCurrentIndex(static_cast<int>(i));
            return;
        }
    }
}

void TfrmMain::SaveYoutubeQuality() {
    const TYoutubeQualityItem item = GetSelectedQuality();
    WriteConfigString(QualitySection, QualityExtKey, item.Ext);
    WriteConfigString(QualitySection, QualityHeightKey, item.Height);
}

TYoutubeQualityItem TfrmMain::GetSelectedQuality() const {
    const int index = FUi->cbxVideoQuality->currentIndex();
    if (!FYoutubeQualityItem || index < 0 || index >= FYoutubeQualityItem->size())
        return QualityCatalogue()[0].Item();
    return FYoutubeQualityItem->at(index);
}

void TfrmMain::btnDownloadClick() {
    if (FDownloading)
        StopDownload();
    else
        StartDownload(FUi->ledtURL->text(), QString(), FUi->ledtOutputFolder->text());
}

void TfrmMain::btnOpenClick() {
    QDesktopServices::openUrl(QUrl::fromLocalFile(FUi->ledtOutputFolder->text()));
}

void TfrmMain::StartDownload(const QString& URL, const QString& FileName,
                             const QString& DownloadDir) {
    FDownloading = true;
    const uint64_t download = ++FDownloadSerial;
    FDownloadErrMsg.clear();
    FUi->btnDownload->setText(Text("Stop"));
    const TYoutubeQualityItem quality = GetSelectedQuality();
    FDownloadThread = std::make_unique<TDownloadThread>(URL, FileName, DownloadDir, quality.Ext,
                                                        quality.Height, 0, 0, 0);
    TDownloadThread* job = FDownloadThread.get();
    job->SetOnThreadData([this](THttpClient* sender, int32_t threadNo, int32_t speed,
                                int64_t contentLength, int64_t readCount, bool& abort,
                                void* visualObject) {
        ReceiveThreadDataEvent(sender, threadNo, speed, contentLength, readCount, abort,
                               visualObject);
    });
    job->SetOnGetDownloadURLEvent([this](TDownloadThread* s) { ReceiveGetDownloadURLEvent(s); });
    job->SetOnGetMediaInfoEvent([this](TDownloadThread* s) { ReceiveGetMediaInfoEvent(s); });
    job->SetOnErrorEvent([this, download](TDownloadThread* s, const QString& msg) {
        ReceiveErrorEvent(s, msg, download);
    });
    job->SetOnDownloadThreadStartEvent(
        [this](TDownloadThread* s, const QString& fileName, int32_t index, int32_t count) {
            ReceiveThreadStartEvent(s, fileName, index, count);
        });
    job->SetOnDownloadThreadEndEvent(
        [this, download](TDownloadThread* s) { ReceiveThreadEndEvent(s, download); });
    job->Start();
}

void TfrmMain::StopDownload() {
    if (!FDownloading)
        return;
    FDownloading = false;
    if (FDownloadThread) {
        FDownloadThread->Terminate();
        // Serves the worker's waiting calls meanwhile, never posted messages.
        FDownloadThread->WaitFor();
        FDownloadThread.reset();
    }
    FEnabledStatusTimer.store(false);
    tmrDownloadStatus->stop();
    FUi->lblStatus->setText(Text("Ready"));
    FUi->btnDownload->setText(Text("Download"));
    FUi->pbDownload->setValue(0);
    if (!FDownloadErrMsg.isEmpty())
        GLMessageDlg(TranslateMessage(FDownloadErrMsg), mtError, MsgDlgButtons({mbOK}));
}

void TfrmMain::PostStopDownload() {
    PostStopDownload(FDownloadSerial);
}

void TfrmMain::PostStopDownload(uint64_t download) {
    // Posted, never sent: the handler runs after the worker's call has returned.
    QCoreApplication::postEvent(this, new TStopDownloadEvent(download));
}

void TfrmMain::WMStopDownload(uint64_t download) {
    if (download == FDownloadSerial)
        StopDownload();
}

void TfrmMain::ReceiveThreadDataEvent(THttpClient*, int32_t, int32_t ASpeed, int64_t AContentLength,
                                      int64_t AReadCount, bool&, void*) {
    // Kept within 0..100 also for an unknown (-1) or zero length and for more
    // bytes than announced.
    FPosition.store(ProgressPercent(AContentLength, AReadCount), std::memory_order_relaxed);
    FSpeed.store(ASpeed, std::memory_order_relaxed);
    if (!FEnabledStatusTimer.load()) {
        TThread::Synchronize([this] { tmrDownloadStatus->start(); });
        FEnabledStatusTimer.store(true);
    }
}

void TfrmMain::ReceiveGetDownloadURLEvent(TDownloadThread*) {
    FUi->lblStatus->setText(Text("GetDownloadURL"));
}

void TfrmMain::ReceiveGetMediaInfoEvent(TDownloadThread*) {
    FUi->lblStatus->setText(Text("GetMediaInfo"));
}

void TfrmMain::ReceiveErrorEvent(TDownloadThread*, const QString& Msg, uint64_t download) {
    FDownloadErrMsg = Msg;
    PostStopDownload(download);
}

void TfrmMain::ReceiveThreadStartEvent(TDownloadThread*, const QString& FileName,
                                       int32_t DownloadIndex, int32_t DownloadCount) {
    FDownloadIndex = DownloadIndex;
    FDownloadCount = DownloadCount;
    FCurrentDownloadFileName = BareFileName(FileName);
    FUi->lblStatus->setText(
        StartStatusLine(FDownloadIndex, FDownloadCount, FCurrentDownloadFileName));
}

void TfrmMain::ReceiveThreadEndEvent(TDownloadThread*, uint64_t download) {
    PostStopDownload(download);
}

void TfrmMain::tmrDownloadStatusTimer() {
    FUi->pbDownload->setValue(FPosition.load(std::memory_order_relaxed));
    FUi->lblStatus->setText(SpeedStatusLine(Text("Speed"), FSpeed.load(std::memory_order_relaxed),
                                            FDownloadIndex, FDownloadCount,
                                            FCurrentDownloadFileName));
}
