#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>

class QDialog;

// Modal message dialogs with their title and button captions in the current
// language. The message itself arrives translated.

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

// The button kinds, in the order the dialog shows them from left to right.
enum TMsgDlgBtn {
    mbYes,
    mbNo,
    mbOK,
    mbCancel,
    mbAbort,
    mbRetry,
    mbIgnore,
    mbAll,
    mbNoToAll,
    mbYesToAll,
    mbHelp,
    mbClose
};

// A set of button kinds: bit n stands for kind n.
using TMsgDlgButtons = uint32_t;
constexpr TMsgDlgButtons MsgDlgButtons(std::initializer_list<TMsgDlgBtn> buttons) {
    TMsgDlgButtons set = 0;
    for (const TMsgDlgBtn button : buttons)
        set |= 1u << button;
    return set;
}

// Results: the button's value; Help (0) does not close the dialog, and closing
// by the title bar gives 2.
inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;

// The dialog as the builder makes it: the type's icon, the message, and one
// push button per kind in the set, named after its kind ("OK", "NoToAll"),
// with the default and cancel buttons set. Captions are still English.
std::unique_ptr<QDialog> CreateMessageDialog(const QString& Msg, TMsgDlgType DlgType,
                                             TMsgDlgButtons Buttons);

// Plays the type's sound, builds the dialog, sets the title and the button
// captions ("&Yes", "&OK", ... looked up in the language file) and shows it
// modally. Returns the result of the button that closed it.
int GLMessageDlgCaption(const QString& Caption, const QString& Msg, TMsgDlgType DlgType,
                        TMsgDlgButtons Buttons);

// As above, with the type's title: "Warning", "Error", "Information" or
// "Confirm" in the current language, none for a custom dialog.
int GLMessageDlg(const QString& Msg, TMsgDlgType DlgType, TMsgDlgButtons Buttons);

// The system sound of a dialog type: 48 exclamation, 16 hand, 64 asterisk,
// 32 question, 0xFFFFFFFF the simple beep. The handler plays it; tests may
// replace it to hear which one.
using TMessageBeepHandler = std::function<void(uint32_t type)>;
void SetMessageBeepHandler(TMessageBeepHandler handler);
void MessageBeep(uint32_t type);
