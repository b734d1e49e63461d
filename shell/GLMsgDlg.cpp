#include "GLMsgDlg.h"

#include "GlobalLanguage.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <array>

namespace {

struct TButtonKind {
    const char* Name;
    const char* Caption; // the builder's own, before the language file's
    int Result;
};
constexpr std::array<TButtonKind, 12> ButtonKinds{{
    {"Yes", "&Yes", 6},
    {"No", "&No", 7},
    {"OK", "OK", 1},
    {"Cancel", "Cancel", 2},
    {"Abort", "&Abort", 3},
    {"Retry", "&Retry", 4},
    {"Ignore", "&Ignore", 5},
    {"All", "&All", 12},
    {"NoToAll", "N&o to All", 13},
    {"YesToAll", "Yes to &All", 14},
    {"Help", "&Help", 0},
    {"Close", "&Close", 8},
}};

struct TDialogKind {
    const char* TitleKey; // nullptr: no title
    uint32_t Sound;
    QStyle::StandardPixmap Icon;
};
constexpr TDialogKind DialogKinds[] = {
    {"Warning", 0x30, QStyle::SP_MessageBoxWarning},
    {"Error", 0x10, QStyle::SP_MessageBoxCritical},
    {"Information", 0x40, QStyle::SP_MessageBoxInformation},
    {"Confirm", 0x20, QStyle::SP_MessageBoxQuestion},
    {nullptr, 0xFFFFFFFF, QStyle::SP_CustomBase},
};

TMessageBeepHandler& BeepHandler() {
    static TMessageBeepHandler handler = [](uint32_t) {
        QApplication::beep();
    };
    return handler;
}

bool Holds(TMsgDlgButtons buttons, TMsgDlgBtn button) {
    return (buttons & (1u << button)) != 0;
}

// The first kind of `order` that the set holds, or -1.
int FirstHeld(TMsgDlgButtons buttons, std::initializer_list<TMsgDlgBtn> order) {
    for (const TMsgDlgBtn button : order) {
        if (Holds(buttons, button))
            return button;
    }
    return -1;
}

class TMessageDialog : public QDialog {
public:
    TMessageDialog(const QString& msg, TMsgDlgType type, TMsgDlgButtons buttons)
        : QDialog(QApplication::activeWindow()) {
        setModal(true);
        auto* icon = new QLabel(this);
        icon->setObjectName(QStringLiteral("Image"));
        const TDialogKind& kind = DialogKinds[type];
        if (kind.Icon != QStyle::SP_CustomBase) {
            icon->setPixmap(style()->standardIcon(kind.Icon).pixmap(32, 32));
            icon->setProperty("StandardIcon", static_cast<int>(kind.Icon));
        }
        auto* message = new QLabel(msg, this);
        message->setObjectName(QStringLiteral("Message"));
        message->setWordWrap(true);
        // Wide enough that a sentence or two reads as lines, not as a column.
        message->setMinimumWidth(320);
        message->setMaximumWidth(560);
        message->setTextInteractionFlags(Qt::TextSelectableByMouse);

        auto* row = new QHBoxLayout;
        row->addStretch();
        for (size_t i = 0; i < ButtonKinds.size(); ++i) {
            if (!Holds(buttons, static_cast<TMsgDlgBtn>(i)))
                continue;
            const TButtonKind& button = ButtonKinds[i];
            auto* push = new QPushButton(QString::fromLatin1(button.Caption), this);
            push->setObjectName(QString::fromLatin1(button.Name));
            // Only the default button answers Enter, as in the platform's dialogs.
            push->setAutoDefault(false);
            const int result = button.Result;
            connect(push, &QPushButton::clicked, this, [this, result] {
                if (result != mrNone)
                    done(result);
            });
            row->addWidget(push);
        }
        row->addStretch();

        auto* body = new QHBoxLayout;
        body->addWidget(icon, 0, Qt::AlignTop);
        body->addWidget(message, 1);
        auto* layout = new QVBoxLayout(this);
        layout->addLayout(body);
        layout->addLayout(row);

        const int defaultButton = FirstHeld(buttons, {mbOK, mbYes, mbRetry});
        if (defaultButton >= 0) {
            auto* push =
                findChild<QPushButton*>(QString::fromLatin1(ButtonKinds[defaultButton].Name));
            push->setDefault(true);
            push->setFocus();
        }
        const int cancelButton = FirstHeld(buttons, {mbCancel, mbNo, mbOK});
        FCancelResult = cancelButton >= 0 ? ButtonKinds[cancelButton].Result : -1;
    }

    // Escape presses the cancel button; without one it does nothing.
    void reject() override {
        if (FCancelResult >= 0)
            done(FCancelResult);
    }

protected:
    // Closed by the title bar.
    void closeEvent(QCloseEvent* event) override {
        event->accept();
        setResult(mrCancel);
        QDialog::done(mrCancel);
    }

private:
    int FCancelResult = -1;
};

} // namespace

std::unique_ptr<QDialog> CreateMessageDialog(const QString& Msg, TMsgDlgType DlgType,
                                             TMsgDlgButtons Buttons) {
    return std::make_unique<TMessageDialog>(Msg, DlgType, Buttons);
}

int GLMessageDlgCaption(const QString& Caption, const QString& Msg, TMsgDlgType DlgType,
                        TMsgDlgButtons Buttons) {
    MessageBeep(DialogKinds[DlgType].Sound);
    const std::unique_ptr<QDialog> dialog = CreateMessageDialog(Msg, DlgType, Buttons);
    dialog->setWindowTitle(Caption);
    for (const TButtonKind& kind : ButtonKinds) {
        const QString name = QString::fromLatin1(kind.Name);
        if (auto* button = dialog->findChild<QPushButton*>(name))
            button->setText(GetLanguageString(u'&' + name));
    }
    return dialog->exec();
}

int GLMessageDlg(const QString& Msg, TMsgDlgType DlgType, TMsgDlgButtons Buttons) {
    const char* titleKey = DialogKinds[DlgType].TitleKey;
    const QString title = titleKey ? GetLanguageString(QString::fromLatin1(titleKey)) : QString();
    return GLMessageDlgCaption(title, Msg, DlgType, Buttons);
}

void SetMessageBeepHandler(TMessageBeepHandler handler) {
    BeepHandler() = std::move(handler);
}

void MessageBeep(uint32_t type) {
    if (BeepHandler())
        BeepHandler()(type);
}
