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

void TLabeledEdit::setLabelText(const QString& text) {
    if (FLabel)
        FLabel->setText(text);
    PlaceLabel();
}

void TLabeledEdit::PlaceLabel() {
    if (!FLabel)
        return;
    // As wide as the edit at least, so that a longer translated caption still fits.
    const QSize hint = FLabel->sizeHint();
    FLabel->setGeometry(x(), y() - hint.height() - LabelSpacing, qMax(width(), hint.width()),
                        hint.height());
}

void TLabeledEdit::moveEvent(QMoveEvent* event) {
    QLineEdit::moveEvent(event);
    PlaceLabel();
}

void TLabeledEdit::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    PlaceLabel();
}

void TLabeledEdit::showEvent(QShowEvent* event) {
    QLineEdit::showEvent(event);
    // A label without a parent would be a window of its own.
    if (FLabel && FLabel->parentWidget())
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
