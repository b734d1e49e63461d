#include "LabeledEdit.h"

#include <QApplication>

#include <gtest/gtest.h>

TEST(LabeledEdit, TheLabelSitsAboveTheEditAndFollowsIt) {
    QWidget window;
    auto* edit = new TLabeledEdit(&window);
    edit->EditLabel()->setText(QStringLiteral("&URL :"));
    edit->setGeometry(24, 36, 385, 21);
    window.show();

    QLabel* label = edit->EditLabel();
    EXPECT_EQ(&window, label->parentWidget());
    EXPECT_EQ(edit, label->buddy()) << "the label's key focuses the edit";
    EXPECT_TRUE(label->objectName().isEmpty()) << "not a component of the window";
    EXPECT_EQ(24, label->x());
    EXPECT_EQ(36 - TLabeledEdit::LabelSpacing, label->geometry().bottom() + 1);
    EXPECT_GE(label->width(), 385);

    edit->move(24, 136);
    EXPECT_EQ(136 - TLabeledEdit::LabelSpacing, label->geometry().bottom() + 1);
    edit->hide();
    EXPECT_FALSE(label->isVisible());
    edit->show();
    EXPECT_TRUE(label->isVisible());

    delete edit;
    EXPECT_TRUE(window.findChildren<QLabel*>().isEmpty()) << "the label goes with its edit";
}
