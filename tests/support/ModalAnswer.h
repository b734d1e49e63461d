#pragma once

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include <functional>

// Answers modal dialogs while a test's call waits inside one: every few
// milliseconds it looks for the active modal dialog and hands it to `answer`
// (which reads it and closes it). Counts the dialogs it answered.
class TModalAnswer {
public:
    explicit TModalAnswer(std::function<void(QDialog*)> answer) : FAnswer(std::move(answer)) {
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible() || dialog == FLast)
                return;
            FLast = dialog;
            ++FCount;
            FAnswer(dialog);
        });
        FTimer.start(5);
    }

    int Count() const { return FCount; }

private:
    std::function<void(QDialog*)> FAnswer;
    QTimer FTimer;
    QDialog* FLast = nullptr;
    int FCount = 0;
};
