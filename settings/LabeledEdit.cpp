#include "LabeledEdit.h"

#include <QEvent>
#include <QLabel>

TLabeledEdit::TLabeledEdit(QWidget* parent) : QLineEdit(parent), FLabel(new QLabel(parent)) {
    FLabel->setBuddy(this);
    PlaceLabel();
}

TLabeledEdit::~TLabeledEdit() {
    delete FLabel.data();
}

void TLabeledEdit::PlaceLabel() {
    if (!FLabel)
        return;
    FLabel->adjustSize();
    FLabel->move(x(), y() - FLabel->height() - LabelSpacing);
}

void TLabeledEdit::moveEvent(QMoveEvent* event) {
    QLineEdit::moveEvent(event);
    PlaceLabel();
}

void TLabeledEdit::showEvent(QShowEvent* event) {
    QLineEdit::showEvent(event);
    if (FLabel)
        FLabel->show();
}

void TLabeledEdit::hideEvent(QHideEvent* event) {
    QLineEdit::hideEvent(event);
    if (FLabel)
        FLabel->hide();
}

bool TLabeledEdit::event(QEvent* event) {
    // The label moves with the edit to a new parent.
    if (event->type() == QEvent::ParentChange && FLabel) {
        FLabel->setParent(parentWidget());
        PlaceLabel();
    }
    return QLineEdit::event(event);
}
