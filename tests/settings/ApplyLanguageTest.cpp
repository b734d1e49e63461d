#include "GlobalLanguageForm.h"
#include "LabeledEdit.h"
#include "SettingsFixture.h"

#include <QAction>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

namespace {

// A window with each kind of component that translation knows, and the texts
// it sees when its creation handler runs.
class TfrmLanguage : public TForm {
    Q_OBJECT
    friend class TForm;

protected:
    TfrmLanguage() {
        setObjectName(QStringLiteral("frmLanguage"));
        setWindowTitle(QStringLiteral("Design title"));
        lblStatus = new QLabel(QStringLiteral("design status"), this);
        lblStatus->setObjectName(QStringLiteral("lblStatus"));
        ledtURL = new TLabeledEdit(this);
        ledtURL->setObjectName(QStringLiteral("ledtURL"));
        ledtURL->EditLabel()->setText(QStringLiteral("URL :"));
        ledtURL->setText(QStringLiteral("typed text"));
        btnDownload = new QPushButton(QStringLiteral("Download"), this);
        btnDownload->setObjectName(QStringLiteral("btnDownload"));
        pbDownload = new QProgressBar(this);
        pbDownload->setObjectName(QStringLiteral("pbDownload"));
        tmrStatus = new QTimer(this);
        tmrStatus->setObjectName(QStringLiteral("tmrStatus"));

        auto* menuBar = new QMenuBar(this);
        menuBar->setObjectName(QStringLiteral("mnuMain"));
        mnuFile = new QMenu(QStringLiteral("File"), menuBar);
        mnuFile->setObjectName(QStringLiteral("mnuFile"));
        menuBar->addMenu(mnuFile);
        mnuRecent = new QMenu(QStringLiteral("Recent"), mnuFile);
        mnuRecent->setObjectName(QStringLiteral("mnuRecent"));
        mnuFile->addMenu(mnuRecent);
        actDeep = new QAction(QStringLiteral("Deep item"), mnuRecent);
        actDeep->setObjectName(QStringLiteral("actDeep"));
        mnuRecent->addAction(actDeep);
        actOpen = new QAction(QStringLiteral("Open"), this);
        actOpen->setObjectName(QStringLiteral("actOpen"));
    }

    void FormCreate() override { StatusAtCreate = lblStatus->text(); }

public:
    QLabel* lblStatus;
    TLabeledEdit* ledtURL;
    QPushButton* btnDownload;
    QProgressBar* pbDownload;
    QTimer* tmrStatus;
    QMenu* mnuFile;
    QMenu* mnuRecent;
    QAction* actDeep;
    QAction* actOpen;
    QString StatusAtCreate;
};

const QByteArray WindowSection = "[frmLanguage]\n"
                                 "Caption=Titel\n"
                                 "lblStatus.Caption=Bereit#13#10jetzt\n"
                                 "ledtURL.Caption=Adresse:\n"
                                 "btnDownload.Caption=Herunterladen\n"
                                 "pbDownload.Caption=Fortschritt\n"
                                 "mnuFile.Caption=Datei\n"
                                 "mnuRecent.Caption=Zuletzt\n"
                                 "actDeep.Caption=Tief\n"
                                 "actOpen.Caption=\xC3\x96"
                                 "ffnen\n"
                                 "tmrStatus.Caption=never used\n";

class ApplyLanguageTest : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        WriteLanguage(QStringLiteral("German.ini"), "[LanguageString]\n" + WindowSection);
        WriteLanguage(QStringLiteral("English.ini"),
                      "[frmLanguage]\nCaption=English title\nbtnDownload.Caption=Get it\n");
    }
};

TEST_F(ApplyLanguageTest, TheWindowIsTranslatedBeforeItsCreationHandlerRuns) {
    WriteConfig("[GlobalLanguage]\nLangID=3079\n");
    const auto window = TForm::Create<TfrmLanguage>();
    // Values of a window section are used as they stand, escapes included.
    EXPECT_EQ(QStringLiteral("Bereit#13#10jetzt"), window->lblStatus->text());
    EXPECT_EQ(window->lblStatus->text(), window->StatusAtCreate);
    EXPECT_EQ(QStringLiteral("Titel"), window->windowTitle());
    EXPECT_EQ(QStringLiteral("Adresse:"), window->ledtURL->EditLabel()->text());
    EXPECT_EQ(QStringLiteral("typed text"), window->ledtURL->text());
    EXPECT_EQ(QStringLiteral("Herunterladen"), window->btnDownload->text());
    EXPECT_EQ(QStringLiteral("Fortschritt"), window->pbDownload->accessibleName());
    EXPECT_EQ(QStringLiteral("Datei"), window->mnuFile->title());
    EXPECT_EQ(QStringLiteral("Zuletzt"), window->mnuRecent->title());
    EXPECT_EQ(QStringLiteral("Tief"), window->actDeep->text()) << "keyed by its own name only";
    EXPECT_EQ(QStringLiteral("\u00D6ffnen"), window->actOpen->text());
}

TEST_F(ApplyLanguageTest, EnglishTranslatesOnlyUntilTheLanguageIsKnown) {
    WriteConfig("[GlobalLanguage]\nLangID=1033\n");
    ASSERT_EQ(-1, LanguageCache());
    // The first window determines the language and is translated from English.ini,
    // where a missing key leaves the design text.
    const auto first = TForm::Create<TfrmLanguage>();
    EXPECT_EQ(QStringLiteral("English title"), first->windowTitle());
    EXPECT_EQ(QStringLiteral("Get it"), first->btnDownload->text());
    EXPECT_EQ(QStringLiteral("design status"), first->lblStatus->text());
    // Once English is known, windows keep their design texts.
    const auto second = TForm::Create<TfrmLanguage>();
    EXPECT_EQ(QStringLiteral("Design title"), second->windowTitle());
    EXPECT_EQ(QStringLiteral("Download"), second->btnDownload->text());
}

TEST_F(ApplyLanguageTest, WithoutAnyLanguageFileTheDesignTextsStay) {
    QFile::remove(LanguageDir() + QStringLiteral("/English.ini"));
    QFile::remove(LanguageDir() + QStringLiteral("/German.ini"));
    WriteConfig("[GlobalLanguage]\nLangID=3079\n");
    const auto window = TForm::Create<TfrmLanguage>();
    EXPECT_EQ(QStringLiteral("Design title"), window->windowTitle());
    EXPECT_EQ(QStringLiteral("URL :"), window->ledtURL->EditLabel()->text());
    EXPECT_EQ(QStringLiteral("Deep item"), window->actDeep->text());
}

} // namespace

#include "ApplyLanguageTest.moc"
