#include "ConfigurationPlacement.h"
#include "IniFile.h"
#include "LabeledEdit.h"
#include "ModalAnswer.h"
#include "SettingsFixture.h"
#include "SyncWait.h"

#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QScrollBar>
#include <QToolButton>

namespace {

// A window with one component of each kind that keeps a state.
class TfrmPlacement : public QWidget {
    Q_OBJECT
public:
    explicit TfrmPlacement(bool fixedSize = true) {
        setObjectName(QStringLiteral("frmPlacement"));
        if (fixedSize)
            setFixedSize(300, 200);
        else
            resize(300, 200);
        ledtURL = new TLabeledEdit(this);
        ledtURL->setObjectName(QStringLiteral("ledtURL"));
        ledtURL->setText(QStringLiteral("design url"));
        edtSecret = new QLineEdit(this);
        edtSecret->setObjectName(QStringLiteral("edtSecret"));
        edtSecret->setEchoMode(QLineEdit::Password);
        edtSecret->setText(QStringLiteral("hunter2"));
        cbxVideoQuality = new QComboBox(this);
        cbxVideoQuality->setObjectName(QStringLiteral("cbxVideoQuality"));
        cbxVideoQuality->setProperty("Tag", -1);
        cbxVideoQuality->addItems({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
        cbxOther = new QComboBox(this);
        cbxOther->setObjectName(QStringLiteral("cbxOther"));
        cbxOther->addItems({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
        sbVolume = new QScrollBar(this);
        sbVolume->setObjectName(QStringLiteral("sbVolume"));
        sbVolume->setRange(0, 100);
        connect(sbVolume, &QScrollBar::valueChanged, this,
                [this](int value) { Changes.append(value); });
        btnSpeed = new QToolButton(this);
        btnSpeed->setObjectName(QStringLiteral("btnSpeed"));
        btnSpeed->setCheckable(true);
    }

    TLabeledEdit* ledtURL;
    QLineEdit* edtSecret;
    QComboBox* cbxVideoQuality;
    QComboBox* cbxOther;
    QScrollBar* sbVolume;
    QToolButton* btnSpeed;
    QList<int> Changes;
};

// Screens where the primary screen, its work area and the virtual screen all differ.
const TScreenGeometry Screens{QRect(0, 0, 1000, 800), QRect(0, 30, 1000, 740),
                              QRect(0, 0, 1600, 800)};

class PlacementTest : public SettingsTest {
protected:
    // A stored integer of the test window's section, -1 when missing.
    int Stored(const char* key) const {
        return TIniFile(ConfigFile())
            .ReadInteger(QStringLiteral("TfrmPlacement"), QString::fromLatin1(key), -1);
    }
};

TEST_F(PlacementTest, FirstStartCentresOnTheWholePrimaryScreen) {
    TfrmPlacement window;
    LoadPlacement(&window, Screens);
    EXPECT_EQ(QRect(350, 300, 300, 200), window.frameGeometry());
    EXPECT_FALSE(window.isMaximized());
    EXPECT_EQ(QStringLiteral("design url"), window.ledtURL->text());
    EXPECT_EQ(QStringLiteral("hunter2"), window.edtSecret->text());
}

TEST_F(PlacementTest, AStoredPositionIsKeptOnlyWhenEnoughOfTheWindowShows) {
    const QPoint recentred(350, 300); // on the work area, not the whole screen
    struct Case {
        const char* Name;
        const char* Left;
        const char* Top;
        QPoint Expected;
    } const cases[] = {
        {"fully visible", "100", "0x10", QPoint(100, 16)},
        {"49 pixels wide on screen", "1551", "100", recentred},
        {"50 pixels wide on screen", "1550", "100", QPoint(1550, 100)},
        {"49 pixels high on screen", "100", "751", recentred},
        {"50 pixels high on screen", "100", "750", QPoint(100, 750)},
        {"left of the screens", "-251", "100", recentred},
        {"on a monitor since removed", "2500", "100", recentred},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteConfig(QByteArray("[TfrmPlacement]\nLeft=") + c.Left + "\nTop=" + c.Top +
                    "\nWidth=500\nHeight=400\n");
        TfrmPlacement window;
        LoadPlacement(&window, Screens);
        EXPECT_EQ(QRect(c.Expected, QSize(300, 200)), window.frameGeometry())
            << "a fixed-size window never takes a stored size";
    }
}

// A sizeable window stores the size inside its frame, so that a frame added by
// the window manager never makes it grow from one start to the next.
TEST_F(PlacementTest, ASizeableWindowTakesItsStoredSizeAndStoresItAgain) {
    WriteConfig("[TfrmPlacement]\nLeft=10\nTop=20\nWidth=500\nHeight=400\n");
    {
        TfrmPlacement window(false);
        LoadPlacement(&window, Screens);
        EXPECT_EQ(QRect(10, 20, 500, 400), window.frameGeometry());
    }
    // Recentred with the size it had before the read, as the stored one did not fit.
    WriteConfig("[TfrmPlacement]\nLeft=5000\nTop=20\nWidth=500\nHeight=400\n");
    TfrmPlacement window(false);
    LoadPlacement(&window, Screens);
    EXPECT_EQ(QRect(350, 300, 300, 200), window.frameGeometry());

    window.show();
    window.move(40, 50);
    window.resize(320, 240);
    SavePlacement(&window);
    EXPECT_EQ(40, Stored("Left"));
    EXPECT_EQ(320, Stored("Width"));
    EXPECT_EQ(240, Stored("Height"));
}

TEST_F(PlacementTest, TheMaximizedValueIsReadAsAnInteger) {
    struct Case {
        const char* Value;
        bool Maximized;
    } const cases[] = {{"1", true}, {"0x1", true}, {"yes", false}, {"0", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Value);
        WriteConfig(QByteArray("[TfrmPlacement]\nLeft=100\nTop=120\nMaximized=") + c.Value + '\n');
        TfrmPlacement window;
        LoadPlacement(&window, Screens);
        EXPECT_EQ(c.Maximized, window.windowState().testFlag(Qt::WindowMaximized));
        EXPECT_EQ(QPoint(100, 120), window.pos());
    }
}

TEST_F(PlacementTest, AMaximizedWindowReturnsToItsStoredRectangle) {
    WriteConfig("[TfrmPlacement]\nLeft=100\nTop=120\nWidth=400\nHeight=300\nMaximized=1\n");
    TfrmPlacement window(false);
    LoadPlacement(&window);
    window.show();
    ASSERT_TRUE(WaitUntil([&] {
        QCoreApplication::processEvents();
        return window.isMaximized();
    }));
    window.showNormal();
    ASSERT_TRUE(WaitUntil([&] {
        QCoreApplication::processEvents();
        return !window.isMaximized();
    }));
    EXPECT_EQ(QPoint(100, 120), window.frameGeometry().topLeft());
    EXPECT_EQ(QSize(400, 300), window.size());

    // Saved while maximized, the normal rectangle is what is stored.
    window.showMaximized();
    ASSERT_TRUE(WaitUntil([&] {
        QCoreApplication::processEvents();
        return window.isMaximized();
    }));
    SavePlacement(&window);
    EXPECT_EQ(100, Stored("Left"));
    EXPECT_EQ(400, Stored("Width"));
    EXPECT_EQ(1, Stored("Maximized"));
}

TEST_F(PlacementTest, AnAlreadyMaximizedWindowKeepsItsRectangle) {
    WriteConfig("[TfrmPlacement]\nLeft=5\nTop=6\nMaximized=0\n");
    TfrmPlacement window;
    window.move(70, 80);
    window.setWindowState(Qt::WindowMaximized);
    LoadPlacement(&window, Screens);
    EXPECT_EQ(QPoint(70, 80), window.pos());
    EXPECT_EQ(Qt::WindowNoState, window.windowState()) << "the state still comes from the file";
}

TEST_F(PlacementTest, ControlStatesRoundTripByKind) {
    {
        TfrmPlacement window;
        window.ledtURL->setText(QStringLiteral("https://example.invalid/watch?v=1"));
        window.cbxVideoQuality->setCurrentIndex(2);
        window.cbxOther->setCurrentIndex(1);
        window.sbVolume->setValue(42);
        window.btnSpeed->setChecked(true);
        window.show();
        SavePlacement(&window);
    }
    const TIniFile store(ConfigFile());
    const QString section = QStringLiteral("TfrmPlacement");
    EXPECT_FALSE(store.ValueExists(section, QStringLiteral("cbxVideoQuality"))) << "Tag -1";
    EXPECT_FALSE(store.ValueExists(section, QStringLiteral("edtSecret"))) << "password";
    EXPECT_EQ(QStringLiteral("1"), store.ReadString(section, QStringLiteral("btnSpeed"), {}));

    // A password typed into the file by hand is still loaded; the excluded box
    // is neither restored from the file.
    store.WriteString(section, QStringLiteral("edtSecret"), QStringLiteral("from file"));
    store.WriteInteger(section, QStringLiteral("cbxVideoQuality"), 0);
    TfrmPlacement window;
    window.cbxVideoQuality->setCurrentIndex(1);
    LoadPlacement(&window, Screens);
    EXPECT_EQ(QStringLiteral("https://example.invalid/watch?v=1"), window.ledtURL->text());
    EXPECT_EQ(QStringLiteral("from file"), window.edtSecret->text());
    EXPECT_EQ(1, window.cbxVideoQuality->currentIndex());
    EXPECT_EQ(1, window.cbxOther->currentIndex());
    EXPECT_EQ(42, window.sbVolume->value());
    EXPECT_EQ(QList<int>{42}, window.Changes) << "the change handler runs once, after the restore";
    EXPECT_TRUE(window.btnSpeed->isChecked());
}

TEST_F(PlacementTest, AFailedSaveIsShownInTheUsersLanguageAndTheWindowStillCloses) {
    WriteLanguage(QStringLiteral("English.ini"),
                  "[LanguageString]\nUnableToWrite=Cannot save the settings in %1.\n");
    QDir().mkpath(Home.filePath(QStringLiteral("config")));
    WriteTestFile(Home.filePath(QStringLiteral("config/Kavro")), "a file, not a folder");
    TfrmPlacement window;
    window.show();

    QString shown;
    const TModalAnswer answer([&](QDialog* dialog) {
        if (auto* box = qobject_cast<QMessageBox*>(dialog))
            shown = box->text();
        dialog->accept();
    });
    SavePlacement(&window);
    EXPECT_EQ(1, answer.Count());
    EXPECT_EQ(QStringLiteral("Cannot save the settings in %1.").arg(ConfigFile()), shown);
}

} // namespace

#include "PlacementTest.moc"
