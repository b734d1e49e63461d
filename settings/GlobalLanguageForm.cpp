#include "GlobalLanguageForm.h"

#include "FormComponents.h"
#include "GlobalLanguage.h"
#include "IniFile.h"
#include "LabeledEdit.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMetaProperty>

namespace {

// Reads one window section of the language file, loaded once per window.
class TWindowTexts {
public:
    TWindowTexts(const QString& fileName, const QString& section) : FSection(section) {
        QFile file(fileName);
        if (file.open(QIODevice::ReadOnly))
            FContent = file.readAll();
    }

    QString Read(const QString& key, const QString& current) const {
        bool found = false;
        const QString value = IniReadValue(FContent, FSection, key, &found);
        return found ? value : current;
    }
    QString Caption(const QObject* component, const QString& current) const {
        return Read(component->objectName() + QStringLiteral(".Caption"), current);
    }

private:
    QString FSection;
    QByteArray FContent;
};

// Children first, then the item itself; every item is keyed by its own name.
void TranslateMenuItems(const QWidget* menu, const TWindowTexts& texts) {
    for (QAction* item : menu->actions()) {
        const QMenu* submenu = item->menu();
        if (submenu)
            TranslateMenuItems(submenu, texts);
        const QObject* named = submenu ? static_cast<const QObject*>(submenu) : item;
        if (!named->objectName().isEmpty())
            item->setText(texts.Caption(named, item->text()));
    }
}

bool IsSubmenu(const QMenu* menu) {
    const QObject* parent = menu->parent();
    return qobject_cast<const QMenu*>(parent) || qobject_cast<const QMenuBar*>(parent);
}

void TranslateControl(QWidget* control, const TWindowTexts& texts) {
    if (auto* labeled = qobject_cast<TLabeledEdit*>(control)) {
        labeled->EditLabel()->setText(texts.Caption(control, labeled->EditLabel()->text()));
    } else if (auto* combo = qobject_cast<QComboBox*>(control)) {
        combo->setCurrentText(texts.Caption(control, combo->currentText()));
    } else if (const QMetaProperty text =
                   control->metaObject()->property(control->metaObject()->indexOfProperty("text"));
               text.isValid() && text.isWritable()) {
        text.write(control, texts.Caption(control, text.read(control).toString()));
    } else {
        // A control without a text of its own (a progress bar) is named for
        // assistive technology instead.
        control->setAccessibleName(texts.Caption(control, control->accessibleName()));
    }
}

} // namespace

void ApplyLanguage(QWidget* window) {
    // Only a language already known to be English keeps the design texts.
    if (LanguageCache() == EnglishLanguageID)
        return;
    const TWindowTexts texts(GetLanguageFilePath(GetLanguageID()), window->objectName());
    for (QObject* component : OwnedComponents(window)) {
        if (auto* menu = qobject_cast<QMenu*>(component)) {
            if (!IsSubmenu(menu))
                TranslateMenuItems(menu, texts);
        } else if (auto* menuBar = qobject_cast<QMenuBar*>(component)) {
            TranslateMenuItems(menuBar, texts);
        } else if (auto* control = qobject_cast<QWidget*>(component)) {
            TranslateControl(control, texts);
        } else if (auto* action = qobject_cast<QAction*>(component)) {
            action->setText(texts.Caption(action, action->text()));
        }
    }
    window->setWindowTitle(texts.Read(QStringLiteral("Caption"), window->windowTitle()));
}

TForm::TForm(QWidget* parent) : QWidget(parent) {}
