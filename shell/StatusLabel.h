#pragma once

#include <QLabel>

// A one-line label of fixed size whose text, when longer than the label, ends
// in an ellipsis on screen; text() keeps the whole text.
class TStatusLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent* event) override;
};
