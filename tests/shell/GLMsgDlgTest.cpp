#include "GLMsgDlg.h"
#include "ModalAnswer.h"
#include "SettingsFixture.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

namespace {

class GLMsgDlgTest : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        WriteConfig("[GlobalLanguage]\nLangID=3079\n");
        // "Confirm" and "&OK" are missing: their keys stand for themselves.
        WriteLanguage(QStringLiteral("German.ini"), "[LanguageString]\n"
                                                    "Warning=Warnung\n"
                                                    "Error=Fehler\n"
                                                    "Information=Hinweis\n"
                                                    "&Yes=&Ja\n"
                                                    "&No=&Nein\n"
                                                    "&Cancel=Abbrechen\n"
                                                    "&NoToAll=N&ein f\xC3\xBCr alle\n");
        SetMessageBeepHandler([this](uint32_t type) { Sounds.append(type); });
    }
    void TearDown() override {
        SetMessageBeepHandler(nullptr);
        SettingsTest::TearDown();
    }

    QList<uint32_t> Sounds;
};

QStringList ButtonNamesLeftToRight(const QDialog* dialog) {
    QList<QPushButton*> buttons = dialog->findChildren<QPushButton*>();
    std::sort(buttons.begin(), buttons.end(),
              [](const QPushButton* a, const QPushButton* b) { return a->x() < b->x(); });
    QStringList names;
    for (const QPushButton* button : buttons)
        names.append(button->objectName());
    return names;
}

TEST_F(GLMsgDlgTest, EachTypeHasItsTitleSoundAndIcon) {
    struct Case {
        TMsgDlgType Type;
        QString Title;
        uint32_t Sound;
        int Icon; // -1: none
    } const cases[] = {
        {mtWarning, QStringLiteral("Warnung"), 48, QStyle::SP_MessageBoxWarning},
        {mtError, QStringLiteral("Fehler"), 16, QStyle::SP_MessageBoxCritical},
        {mtInformation, QStringLiteral("Hinweis"), 64, QStyle::SP_MessageBoxInformation},
        {mtConfirmation, QStringLiteral("Confirm"), 32, QStyle::SP_MessageBoxQuestion},
        {mtCustom, QString(), 0xFFFFFFFF, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Sound);
        Sounds.clear();
        QString title, message;
        QVariant icon;
        QList<uint32_t> soundsBeforeShown;
        const TModalAnswer answer([&](QDialog* dialog) {
            soundsBeforeShown = Sounds;
            title = dialog->windowTitle();
            message = dialog->findChild<QLabel*>(QStringLiteral("Message"))->text();
            icon = dialog->findChild<QLabel*>(QStringLiteral("Image"))->property("StandardIcon");
            dialog->findChild<QPushButton*>(QStringLiteral("OK"))->click();
        });
        EXPECT_EQ(mrOk, GLMessageDlg(QStringLiteral("Text"), c.Type, MsgDlgButtons({mbOK})));
        EXPECT_EQ(c.Title, title);
        EXPECT_EQ(QStringLiteral("Text"), message);
        EXPECT_EQ(QList<uint32_t>{c.Sound}, soundsBeforeShown) << "the sound comes first";
        EXPECT_EQ(c.Icon, icon.isValid() ? icon.toInt() : -1);
    }
}

TEST_F(GLMsgDlgTest, ButtonsComeInTheirOrderWithTranslatedCaptionsAndTheirResults) {
    const TMsgDlgButtons all = 0xFFF;
    QStringList names, captions;
    {
        const TModalAnswer answer([&](QDialog* dialog) {
            names = ButtonNamesLeftToRight(dialog);
            for (const QString& name : names)
                captions.append(dialog->findChild<QPushButton*>(name)->text());
            dialog->findChild<QPushButton*>(QStringLiteral("Close"))->click();
        });
        EXPECT_EQ(8, GLMessageDlgCaption(QStringLiteral("T"), QStringLiteral("M"), mtCustom, all));
    }
    EXPECT_EQ(QStringLiteral("Yes No OK Cancel Abort Retry Ignore All NoToAll YesToAll Help Close"),
              names.join(u' '));
    EXPECT_EQ(QStringLiteral("&Ja|&Nein|&OK|Abbrechen|&Abort|&Retry|&Ignore|&All|"
                             "N&ein f\u00FCr alle|&YesToAll|&Help|&Close"),
              captions.join(u'|'))
        << "a caption missing from the file is its key";

    const std::pair<TMsgDlgBtn, int> results[] = {
        {mbYes, 6},    {mbNo, 7},   {mbOK, 1},       {mbCancel, 2},    {mbAbort, 3}, {mbRetry, 4},
        {mbIgnore, 5}, {mbAll, 12}, {mbNoToAll, 13}, {mbYesToAll, 14}, {mbClose, 8},
    };
    const TModalAnswer press([&](QDialog* dialog) {
        for (auto* button : dialog->findChildren<QPushButton*>())
            button->click();
    });
    for (const auto& [button, result] : results) {
        SCOPED_TRACE(result);
        EXPECT_EQ(result,
                  GLMessageDlg(QStringLiteral("M"), mtInformation, MsgDlgButtons({button})));
    }
}

TEST_F(GLMsgDlgTest, HelpDoesNotCloseAndTheTitleBarGivesCancel) {
    bool openAfterHelp = false;
    const TModalAnswer answer([&](QDialog* dialog) {
        dialog->findChild<QPushButton*>(QStringLiteral("Help"))->click();
        openAfterHelp = dialog->isVisible();
        dialog->close(); // the title bar's close box
    });
    EXPECT_EQ(mrCancel,
              GLMessageDlg(QStringLiteral("M"), mtWarning, MsgDlgButtons({mbHelp, mbYes})));
    EXPECT_TRUE(openAfterHelp);
}

TEST_F(GLMsgDlgTest, DefaultAndCancelButtonsFollowTheSet) {
    struct Case {
        const char* Name;
        TMsgDlgButtons Buttons;
        const char* Default; // empty: none
        int Escape;          // -1: Escape does nothing
    } const cases[] = {
        {"OK only", MsgDlgButtons({mbOK}), "OK", 1},
        {"OK and Cancel", MsgDlgButtons({mbOK, mbCancel}), "OK", 2},
        {"Yes and No", MsgDlgButtons({mbYes, mbNo}), "Yes", 7},
        {"Yes, No and Cancel", MsgDlgButtons({mbYes, mbNo, mbCancel}), "Yes", 2},
        {"Retry and Abort", MsgDlgButtons({mbRetry, mbAbort}), "Retry", -1},
        {"Abort and Ignore", MsgDlgButtons({mbAbort, mbIgnore}), "", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto dialog = CreateMessageDialog(QStringLiteral("M"), mtConfirmation, c.Buttons);
        QStringList defaults;
        for (const QPushButton* button : dialog->findChildren<QPushButton*>()) {
            if (button->isDefault())
                defaults.append(button->objectName());
        }
        EXPECT_EQ(*c.Default ? QStringList{QString::fromLatin1(c.Default)} : QStringList(),
                  defaults);

        dialog->setResult(-1);
        dialog->show();
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(dialog.get(), &escape);
        EXPECT_EQ(c.Escape, dialog->result());
        EXPECT_EQ(c.Escape < 0, dialog->isVisible());
        dialog->show();
        dialog->close();
        EXPECT_EQ(mrCancel, dialog->result()) << "closed by the title bar";
    }
}

} // namespace
