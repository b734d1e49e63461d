#pragma once

#include <QWidget>

#include <memory>
#include <utility>

// Translates a window from its section (the window's object name) of the
// current language file: the text of each control under "<name>.Caption" (a
// labeled edit's label, not its text), menus with their nested items, actions,
// and the title under "Caption". Values are used as they stand; a missing key
// leaves a text as it was. Once the language is known to be English, windows
// keep their design texts.
void ApplyLanguage(QWidget* window);

// The base of every translated window. A window is made only through Create,
// which keeps the order the window relies on: its constructor builds the
// components with their design texts, then ApplyLanguage translates them, then
// FormCreate runs and sees (and may overwrite) the translated texts. A derived
// window declares its constructor non-public and `friend class TForm`.
class TForm : public QWidget {
    Q_OBJECT
public:
    template <class TWindow, class... TArgs>
    static std::unique_ptr<TWindow> Create(TArgs&&... args) {
        std::unique_ptr<TWindow> window(new TWindow(std::forward<TArgs>(args)...));
        TForm* form = window.get();
        ApplyLanguage(form);
        form->FormCreate();
        return window;
    }

protected:
    explicit TForm(QWidget* parent = nullptr);

    // The window's creation handler.
    virtual void FormCreate() {}
};
