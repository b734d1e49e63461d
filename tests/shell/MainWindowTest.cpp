#include "FakeEngine.h"
#include "IniFile.h"
#include "LabeledEdit.h"
#include "MainUnit.h"
#include "MediaSite.h"
#include "ModalAnswer.h"
#include "SettingsFixture.h"
#include "SyncWait.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

namespace {

const QString PageUrl = QStringLiteral("https://www.youtube.com/watch?v=abc");
constexpr int Mp4At1080 = 3; // merged from video and audio
constexpr int Mp4At720 = 4;  // one stream

// Receives the folder the window asks the desktop to open.
class TFolderOpener : public QObject {
    Q_OBJECT
public slots:
    void Open(const QUrl& url) { Opened.append(url); }

public:
    QList<QUrl> Opened;
};

class MainWindowTest : public SettingsTest {
protected:
    static void SetUpTestSuite() { FakeEngine::Load(); }

    void SetUp() override {
        SettingsTest::SetUp();
        FormerHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(Home.path()));
        // The engine's daily check goes to a port where nothing answers.
        qputenv("XDG_DATA_HOME", QFile::encodeName(Home.filePath(QStringLiteral("data"))));
        qputenv("KAVRO_ENGINE_RELEASES", "http://127.0.0.1:9/");
        qputenv("KAVRO_RUNTIME_RELEASES", "http://127.0.0.1:9/");
        qputenv("KAVRO_UPDATE_URL", "http://127.0.0.1:9/update/zephupdate.php");
        WriteConfig("[GlobalLanguage]\nLangID=3079\n");
        WriteLanguage(QStringLiteral("German.ini"), "[LanguageString]\n"
                                                    "Resolution=Aufl\xC3\xB6sung#32\n"
                                                    "Download=Herunterladen\n"
                                                    "Stop=Anhalten\n"
                                                    "Ready=Bereit\n"
                                                    "GetDownloadURL=Adresse wird ermittelt...\n"
                                                    "Speed=Tempo\n"
                                                    "Error=Fehler\n"
                                                    "InvalidYoutubeURL=Keine Videoadresse.\n"
                                                    "UpdateNewVersion=Neue Version.\n"
                                                    "[frmMain]\n"
                                                    "Caption=Kavro (de)\n"
                                                    "ledtURL.Caption=Adresse:\n"
                                                    "ledtOutputFolder.Caption=Zielordner:\n"
                                                    "btnOpen.Caption=Ordner \xC3\xB6"
                                                    "ffnen\n"
                                                    "btnDownload.Caption=replaced at creation\n");
    }
    void TearDown() override {
        Window.reset();
        qputenv("HOME", FormerHome);
        for (const char* name : {"XDG_DATA_HOME", "KAVRO_ENGINE_RELEASES", "KAVRO_RUNTIME_RELEASES",
                                 "KAVRO_UPDATE_URL"})
            qunsetenv(name);
        SettingsTest::TearDown();
    }

    TfrmMain* Open() {
        Window = TForm::Create<TfrmMain>();
        Window->show();
        return Window.get();
    }
    template <class T> T* Find(const char* name) const {
        T* child = Window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(nullptr, child) << name;
        return child;
    }
    QString Status() const { return Find<QLabel>("lblStatus")->text(); }
    QString Button() const { return Find<QPushButton>("btnDownload")->text(); }
    void Download(const QString& url, int quality) {
        Find<TLabeledEdit>("ledtURL")->setText(url);
        Find<TLabeledEdit>("ledtOutputFolder")->setText(Out.path());
        Find<QComboBox>("cbxVideoQuality")->setCurrentIndex(quality);
        Find<QPushButton>("btnDownload")->click();
    }
    bool Until(const std::function<bool()>& done) {
        return WaitUntil([&] {
            QCoreApplication::processEvents();
            return done();
        });
    }

    QByteArray Line(const char* path) const { return Site.Line(path); }
    void AnswerSingle(const char* video) {
        Engine.SetAnswer({Line(video) + "\nClip_(\n720\np)_abc.mp4\n"});
    }
    void AnswerMerged(const char* video, const char* audio) {
        Engine.SetAnswer({Line(video) + '\n' + Line(audio) + "\nClip_(\n1080\np)_abc.mp4\n"});
    }

    QByteArray FormerHome;
    TMediaSite Site;
    QTemporaryDir Out;
    FakeEngine Engine;
    std::unique_ptr<TfrmMain> Window;
};

TEST_F(MainWindowTest, TheWindowIsBuiltFromItsLayoutInTheUsersLanguage) {
    TfrmMain* window = Open();
    EXPECT_EQ(QStringLiteral("Kavro (de)"), window->windowTitle());
    EXPECT_EQ(QSize(546, 216), window->size());
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "fixed size";
    EXPECT_FALSE(window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));

    struct Control {
        const char* Name;
        QRect Geometry;
    } const controls[] = {
        {"lblStatus", QRect(24, 168, 500, 18)},  {"lblYoutubeQuality", QRect(24, 69, 84, 13)},
        {"ledtURL", QRect(24, 36, 385, 21)},     {"btnDownload", QRect(426, 107, 98, 53)},
        {"pbDownload", QRect(24, 190, 500, 17)}, {"ledtOutputFolder", QRect(24, 136, 385, 21)},
        {"btnOpen", QRect(426, 45, 98, 53)},     {"cbxVideoQuality", QRect(24, 89, 385, 21)},
    };
    for (const Control& control : controls) {
        SCOPED_TRACE(control.Name);
        EXPECT_EQ(control.Geometry, Find<QWidget>(control.Name)->geometry());
    }

    // The focus moves through the controls in their tab order.
    const QStringList tabOrder{QStringLiteral("ledtURL"),    QStringLiteral("btnDownload"),
                               QStringLiteral("pbDownload"), QStringLiteral("ledtOutputFolder"),
                               QStringLiteral("btnOpen"),    QStringLiteral("cbxVideoQuality")};
    QStringList chain;
    QWidget* widget = Find<QWidget>("ledtURL");
    do {
        if (tabOrder.contains(widget->objectName()))
            chain.append(widget->objectName());
        widget = widget->nextInFocusChain();
    } while (widget != Find<QWidget>("ledtURL") && chain.size() < 20);
    EXPECT_EQ(tabOrder, chain);

    // The creation handler replaces the translated design texts of two controls.
    EXPECT_EQ(QStringLiteral("Herunterladen"), Button());
    EXPECT_EQ(QStringLiteral("Bereit"), Status());
    EXPECT_EQ(QStringLiteral("Adresse:"), Find<TLabeledEdit>("ledtURL")->labelText());
    EXPECT_EQ(QStringLiteral("Ordner \u00F6ffnen"), Find<QPushButton>("btnOpen")->text());
    EXPECT_EQ(QStringLiteral("Youtube Quality: "), Find<QLabel>("lblYoutubeQuality")->text())
        << "a missing key keeps the design text";

    auto* quality = Find<QComboBox>("cbxVideoQuality");
    ASSERT_EQ(23, quality->count());
    EXPECT_EQ(23, quality->maxVisibleItems());
    EXPECT_EQ(0, quality->currentIndex());
    EXPECT_EQ(QStringLiteral("Aufl\u00F6sung <=UHD 8K - 4320p (MP4)"), quality->itemText(0));
    EXPECT_EQ(QStringLiteral("Audio - (m4a)"), quality->itemText(22));
    EXPECT_EQ(-1, quality->property("Tag").toInt());

    const QString folder = Home.filePath(QStringLiteral("Documents/Kavro"));
    EXPECT_EQ(folder, Find<TLabeledEdit>("ledtOutputFolder")->text());
    EXPECT_TRUE(QFileInfo(folder).isDir());
}

TEST_F(MainWindowTest, TheUpdateNoticeComesOnlyWhileNoDownloadRuns) {
    AnswerSingle("/stall/v.bin");
    QStringList shown;
    const TModalAnswer dialogs([&](QDialog* dialog) {
        shown.append(dialog->findChild<QLabel*>(QStringLiteral("Message"))->text() + u' ' +
                     QString::number(dialog->findChildren<QPushButton*>().size()));
        dialog->findChild<QPushButton*>(QStringLiteral("OK"))->click();
    });
    Open();
    Download(PageUrl, Mp4At720);
    ASSERT_TRUE(Window->Downloading());
    EXPECT_EQ(0, Window->SendMessage(UpdateMessageNumber)) << "declined during a download";
    EXPECT_TRUE(shown.isEmpty());
    EXPECT_TRUE(Window->Downloading());
    Window->StopDownload();

    EXPECT_EQ(0, Window->SendMessage(UpdateMessageNumber + 1)) << "another message";
    EXPECT_EQ(1, Window->SendMessage(UpdateMessageNumber));
    EXPECT_EQ(QStringList({QStringLiteral("Neue Version. 1")}), shown) << "the notice, OK only";
    EXPECT_FALSE(Window->isVisible()) << "the window closes for the installer";
}

TEST_F(MainWindowTest, ASingleStreamDownloadRunsToReadyWithoutADialog) {
    AnswerSingle("/files/v.bin");
    const TModalAnswer dialogs([](QDialog* dialog) { dialog->reject(); });
    Open();
    Download(PageUrl, Mp4At720);
    EXPECT_TRUE(Window->Downloading());
    EXPECT_EQ(QStringLiteral("Anhalten"), Button());

    ASSERT_TRUE(Until([&] { return !Window->Downloading(); }));
    EXPECT_EQ(QStringLiteral("Herunterladen"), Button());
    EXPECT_EQ(QStringLiteral("Bereit"), Status());
    EXPECT_EQ(0, Find<QProgressBar>("pbDownload")->value());
    EXPECT_FALSE(Find<QTimer>("tmrDownloadStatus")->isActive());
    EXPECT_EQ(0, dialogs.Count());
    EXPECT_EQ(PatternBytes(TMediaSite::VideoSize),
              ReadTestFile(Out.filePath(QStringLiteral("Clip_(720p)_abc.mp4"))));
}

TEST_F(MainWindowTest, AMergingJobCountsItsTransfersAndStopEndsItQuietly) {
    struct Case {
        const char* Video;
        const char* Audio;
        const char* Counter;
    } const cases[] = {
        {"/stall/v.bin", "/files/a.bin", "(1/2) "},
        {"/files/v.bin", "/stall/a.bin", "(2/2) "},
    };
    const TModalAnswer dialogs([](QDialog* dialog) {
        ADD_FAILURE()
            << dialog->findChild<QLabel*>(QStringLiteral("Message"))->text().toStdString();
        dialog->reject();
    });
    Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Counter);
        AnswerMerged(c.Video, c.Audio);
        Download(PageUrl, Mp4At1080);
        const QString counter = QString::fromLatin1(c.Counter);
        ASSERT_TRUE(Until([&] {
            return Status() == counter + QStringLiteral("Clip_(1080p)_abc.mp4");
        })) << Status().toStdString();
        // Once progress arrives, the timer shows the speed line with the counter.
        ASSERT_TRUE(Until([&] { return Status().startsWith(counter + QStringLiteral("Tempo: ")); }))
            << Status().toStdString();
        EXPECT_TRUE(Status().endsWith(QStringLiteral(" KB/s,Clip_(1080p)_abc.mp4")) ||
                    Status().endsWith(QStringLiteral(" MB/s,Clip_(1080p)_abc.mp4")))
            << Status().toStdString();
        const int percent = Find<QProgressBar>("pbDownload")->value();
        EXPECT_GE(percent, 0);
        EXPECT_LE(percent, 100);

        Find<QPushButton>("btnDownload")->click();
        EXPECT_FALSE(Window->Downloading());
        EXPECT_EQ(QStringLiteral("Bereit"), Status());
        EXPECT_EQ(QStringLiteral("Herunterladen"), Button());
        EXPECT_EQ(0, Find<QProgressBar>("pbDownload")->value());
        EXPECT_FALSE(Find<QTimer>("tmrDownloadStatus")->isActive());
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(0, dialogs.Count()) << "a stop is no error";
}

TEST_F(MainWindowTest, AnEmptyAddressEndsWithTheTranslatedError) {
    QString title, message;
    const TModalAnswer dialogs([&](QDialog* dialog) {
        title = dialog->windowTitle();
        message = dialog->findChild<QLabel*>(QStringLiteral("Message"))->text();
        dialog->accept();
    });
    Open();
    Download(QString(), Mp4At720);
    ASSERT_TRUE(Until([&] { return dialogs.Count() == 1 && !Window->Downloading(); }));
    EXPECT_EQ(QStringLiteral("Fehler"), title);
    EXPECT_EQ(QStringLiteral("Keine Videoadresse."), message);
    EXPECT_EQ(QStringLiteral("Bereit"), Status());
}

TEST_F(MainWindowTest, ClosingDuringADownloadStopsItThenKeepsPlacementAndQuality) {
    AnswerSingle("/stall/v.bin");
    Open();
    Download(PageUrl, Mp4At720);
    ASSERT_TRUE(Until([&] { return Status() == QStringLiteral("Clip_(720p)_abc.mp4"); }));
    EXPECT_TRUE(Window->close());
    EXPECT_FALSE(Window->Downloading());
    EXPECT_TRUE(QFileInfo::exists(Out.filePath(QStringLiteral("Clip_(720p)_abc.mp4.part"))));

    const TIniFile config(ConfigFile());
    EXPECT_EQ(PageUrl,
              config.ReadString(QStringLiteral("TfrmMain"), QStringLiteral("ledtURL"), {}));
    EXPECT_EQ(Out.path(), config.ReadString(QStringLiteral("TfrmMain"),
                                            QStringLiteral("ledtOutputFolder"), {}));
    EXPECT_TRUE(config.ValueExists(QStringLiteral("TfrmMain"), QStringLiteral("Left")));
    EXPECT_FALSE(config.ValueExists(QStringLiteral("TfrmMain"), QStringLiteral("Width")));
    EXPECT_FALSE(config.ValueExists(QStringLiteral("TfrmMain"), QStringLiteral("cbxVideoQuality")));
    EXPECT_EQ(QStringLiteral("mp4"), config.ReadString(QStringLiteral("frmMain"),
                                                       QStringLiteral("YoutubeQualityExt"), {}));
    EXPECT_EQ(QStringLiteral("720"), config.ReadString(QStringLiteral("frmMain"),
                                                       QStringLiteral("YoutubeQualityHeight"), {}));
}

TEST_F(MainWindowTest, TheStoredQualityAndTextsComeBack) {
    struct Case {
        const char* Ext;
        const char* Height;
        int Index;
    } const cases[] = {
        {"WEBM", "", 21}, {"mp4", "1080", Mp4At1080}, {"Mp4", "720", Mp4At720}, {"mp4", "999", 0},
        {"", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Ext) + ":" + c.Height);
        WriteConfig(QByteArray("[GlobalLanguage]\nLangID=3079\n[frmMain]\nYoutubeQualityExt=") +
                    c.Ext + "\nYoutubeQualityHeight=" + c.Height + "\n[TfrmMain]\nledtURL=" +
                    PageUrl.toUtf8() + "\nledtOutputFolder=/elsewhere\n");
        Open();
        EXPECT_EQ(c.Index, Find<QComboBox>("cbxVideoQuality")->currentIndex());
        EXPECT_EQ(PageUrl, Find<TLabeledEdit>("ledtURL")->text());
        EXPECT_EQ(QStringLiteral("/elsewhere"), Find<TLabeledEdit>("ledtOutputFolder")->text());
        Window.reset();
    }
    EXPECT_TRUE(QFileInfo(Home.filePath(QStringLiteral("Documents/Kavro"))).isDir())
        << "the default folder is made at every start";
}

TEST_F(MainWindowTest, OpenFolderAsksTheDesktopToShowTheOutputFolder) {
    TFolderOpener opener;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &opener, "Open");
    Open();
    Find<TLabeledEdit>("ledtOutputFolder")->setText(QStringLiteral("/no/such folder"));
    Find<QPushButton>("btnOpen")->click();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    EXPECT_EQ(QList<QUrl>{QUrl::fromLocalFile(QStringLiteral("/no/such folder"))}, opener.Opened);
}

} // namespace

#include "MainWindowTest.moc"
