#include "ConfigurationPlacement.h"

#include "ConfigurationUnit.h"
#include "FormComponents.h"
#include "GlobalLanguage.h"
#include "IniFile.h"
#include "KavroError.h"
#include "LabeledEdit.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QToolButton>
#include <QWindow>

namespace {

const QString LeftKey = QStringLiteral("Left");
const QString TopKey = QStringLiteral("Top");
const QString WidthKey = QStringLiteral("Width");
const QString HeightKey = QStringLiteral("Height");
const QString MaximizedKey = QStringLiteral("Maximized");

// The smallest part of a window, in both directions, that must show on the
// screens for a stored position to be kept.
constexpr int MinimumVisible = 50;

QString SectionOf(const QWidget* window) {
    return QString::fromLatin1(window->metaObject()->className());
}

bool HasFixedSize(const QWidget* window) {
    return window->minimumSize() == window->maximumSize();
}

// What the window manager's frame adds on each side: known once the window has
// been shown, nothing before that or where windows have no decorations.
QMargins FrameMargins(const QWidget* window) {
    const QWindow* handle = window->windowHandle();
    return handle ? handle->frameMargins() : QMargins();
}

// Kinds are tested in this order; a labeled edit is not a plain edit here.
enum class TComponentKind { None, ComboBox, Edit, ScrollBar, SpeedButton, LabeledEdit };

TComponentKind KindOf(QObject* component) {
    if (qobject_cast<QComboBox*>(component))
        return TComponentKind::ComboBox;
    if (qobject_cast<QLineEdit*>(component) && !qobject_cast<TLabeledEdit*>(component))
        return TComponentKind::Edit;
    if (qobject_cast<QScrollBar*>(component))
        return TComponentKind::ScrollBar;
    auto* button = qobject_cast<QToolButton*>(component);
    if (button && button->isCheckable())
        return TComponentKind::SpeedButton;
    if (qobject_cast<TLabeledEdit*>(component))
        return TComponentKind::LabeledEdit;
    return TComponentKind::None;
}

} // namespace

TScreenGeometry CurrentScreenGeometry() {
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary)
        return {};
    return {primary->geometry(), primary->availableGeometry(), primary->virtualGeometry()};
}

void LoadComponentState(const TIniFile& store, const QString& section, QObject* component) {
    const QString key = component->objectName();
    switch (KindOf(component)) {
    case TComponentKind::ComboBox: {
        auto* combo = static_cast<QComboBox*>(component);
        combo->setCurrentIndex(store.ReadInteger(section, key, combo->currentIndex()));
        break;
    }
    case TComponentKind::Edit:
    case TComponentKind::LabeledEdit: {
        auto* edit = static_cast<QLineEdit*>(component);
        edit->setText(store.ReadString(section, key, edit->text()));
        break;
    }
    case TComponentKind::ScrollBar: {
        auto* bar = static_cast<QScrollBar*>(component);
        {
            const QSignalBlocker quiet(bar);
            bar->setValue(store.ReadInteger(section, key, bar->value()));
        }
        // The change handler runs once for the restored position, changed or not.
        emit bar->valueChanged(bar->value());
        break;
    }
    case TComponentKind::SpeedButton: {
        auto* button = static_cast<QToolButton*>(component);
        button->setChecked(store.ReadBool(section, key, button->isChecked()));
        break;
    }
    case TComponentKind::None:
        break;
    }
}

void SaveComponentState(const TIniFile& store, const QString& section, QObject* component) {
    const QString key = component->objectName();
    switch (KindOf(component)) {
    case TComponentKind::ComboBox:
        store.WriteInteger(section, key, static_cast<QComboBox*>(component)->currentIndex());
        break;
    case TComponentKind::Edit:
    case TComponentKind::LabeledEdit: {
        const auto* edit = static_cast<QLineEdit*>(component);
        if (edit->echoMode() == QLineEdit::Normal)
            store.WriteString(section, key, edit->text());
        break;
    }
    case TComponentKind::ScrollBar:
        store.WriteInteger(section, key, static_cast<QScrollBar*>(component)->value());
        break;
    case TComponentKind::SpeedButton:
        store.WriteBool(section, key, static_cast<QToolButton*>(component)->isChecked());
        break;
    case TComponentKind::None:
        break;
    }
}

void CenterOnWorkArea(QWidget* window, int width, int height) {
    CenterOnWorkArea(window, width, height, CurrentScreenGeometry());
}

void CenterOnWorkArea(QWidget* window, int width, int height, const TScreenGeometry& screens) {
    const QRect& area = screens.PrimaryWorkArea;
    const QMargins frame = FrameMargins(window);
    window->resize(width - frame.left() - frame.right(), height - frame.top() - frame.bottom());
    // Integer division truncates toward zero, also for a window larger than the area.
    window->move(area.left() + (area.width() - width) / 2,
                 area.top() + (area.height() - height) / 2);
}

void LoadPlacement(QWidget* window) {
    LoadPlacement(window, CurrentScreenGeometry());
}

void LoadPlacement(QWidget* window, const TScreenGeometry& screens) {
    const TIniFile store(GetConfigFilePath());
    const QString section = SectionOf(window);
    for (QObject* component : OwnedComponents(window)) {
        if (ComponentTag(component) != -1)
            LoadComponentState(store, section, component);
    }

    const Qt::WindowStates state = window->windowState();
    if (!(state & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen))) {
        const int width = window->frameGeometry().width();
        const int height = window->frameGeometry().height();
        if (store.ValueExists(section, LeftKey)) {
            const int left = store.ReadInteger(section, LeftKey, window->pos().x());
            const int top = store.ReadInteger(section, TopKey, window->pos().y());
            if (!HasFixedSize(window)) {
                window->resize(store.ReadInteger(section, WidthKey, window->width()),
                               store.ReadInteger(section, HeightKey, window->height()));
            }
            window->move(left, top);
            const QRect visible =
                QRect(QPoint(left, top), window->frameGeometry().size()) & screens.VirtualScreen;
            if (visible.isEmpty() || visible.width() < MinimumVisible ||
                visible.height() < MinimumVisible)
                CenterOnWorkArea(window, width, height, screens);
        } else {
            // First start: centred on the whole primary screen; the size stays.
            const QRect& screen = screens.PrimaryScreen;
            window->move(screen.left() + (screen.width() - width) / 2,
                         screen.top() + (screen.height() - height) / 2);
        }
    }

    if (store.ReadInteger(section, MaximizedKey, 0) != 0)
        window->setWindowState(Qt::WindowMaximized);
    else
        window->setWindowState(Qt::WindowNoState);
}

void SavePlacement(QWidget* window) {
    try {
        const TIniFile store(GetConfigFilePath());
        const QString section = SectionOf(window);
        for (QObject* component : OwnedComponents(window)) {
            if (ComponentTag(component) != -1)
                SaveComponentState(store, section, component);
        }
        // The normal rectangle is where a maximized or minimized window returns to;
        // it exists once the window has its native window.
        if (window->windowHandle()) {
            const QMargins frame = FrameMargins(window);
            const QRect normal = window->normalGeometry();
            store.WriteInteger(section, LeftKey, normal.left() - frame.left());
            store.WriteInteger(section, TopKey, normal.top() - frame.top());
            if (!HasFixedSize(window)) {
                store.WriteInteger(section, WidthKey, normal.width());
                store.WriteInteger(section, HeightKey, normal.height());
            }
        }
        store.WriteInteger(section, MaximizedKey, window->isMaximized() ? 1 : 0);
    } catch (const std::exception& error) {
        QMessageBox::critical(window, GetLanguageString(QStringLiteral("Error")),
                              TranslateMessage(ErrorMessage(error)), QMessageBox::Ok);
    }
}
