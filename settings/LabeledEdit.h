#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPointer>

// A line edit with its own caption label above it. The label is a sibling on
// the same parent (so it can sit outside the edit's rectangle), follows the
// edit's position and visibility, and focuses the edit through its "&" key.
// It has no object name of its own: it belongs to the edit, not to the window.
class TLabeledEdit : public QLineEdit {
    Q_OBJECT
    // The caption, for window layouts (.ui files).
    Q_PROPERTY(QString labelText READ labelText WRITE setLabelText)
public:
    explicit TLabeledEdit(QWidget* parent = nullptr);
    ~TLabeledEdit() override;

    QLabel* EditLabel() const { return FLabel; }
    QString labelText() const { return FLabel ? FLabel->text() : QString(); }
    void setLabelText(const QString& text);

    // Blank pixels between the label and the edit.
    static constexpr int LabelSpacing = 3;

protected:
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool event(QEvent* event) override;

private:
    void PlaceLabel();

    QPointer<QLabel> FLabel;
};
