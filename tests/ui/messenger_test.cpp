#include "ui/messenger.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>

namespace tallivan {
namespace {

// Runs `act` on the modal box once it is shown.
void OnBox(std::function<void(QMessageBox&)> act) {
  QTimer::singleShot(0, [act] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    act(*box);
  });
}

TEST(BoxMessengerTest, InformsInAModalBoxWithOnlyOkAndNoIcon) {
  QWidget parent;
  BoxMessenger messenger(&parent);
  bool seen = false;
  OnBox([&](QMessageBox& box) {
    seen = true;
    EXPECT_EQ(box.windowTitle(), QStringLiteral("Info - 提示"));
    EXPECT_EQ(box.text(), QStringLiteral("Line one.\n第二行。"));
    EXPECT_EQ(box.icon(), QMessageBox::NoIcon);
    EXPECT_EQ(box.buttons().size(), 1);
    EXPECT_EQ(box.standardButtons(), QMessageBox::Ok);
    EXPECT_TRUE(box.isModal());
    box.button(QMessageBox::Ok)->click();
  });
  messenger.Inform(QStringLiteral("Info - 提示"), QStringLiteral("Line one.\r\n第二行。"));
  EXPECT_TRUE(seen);
}

TEST(BoxMessengerTest, AsksWithYesAndNoAndTheGivenDefault) {
  const struct {
    Answer default_answer;
    QMessageBox::StandardButton clicked;  // NoButton: dismissed
    Answer expected;
  } cases[] = {
      {Answer::kNo, QMessageBox::Yes, Answer::kYes},
      {Answer::kNo, QMessageBox::No, Answer::kNo},
      {Answer::kNo, QMessageBox::NoButton, Answer::kNo},
      {Answer::kYes, QMessageBox::NoButton, Answer::kYes},
  };
  for (const auto& c : cases) {
    QWidget parent;
    BoxMessenger messenger(&parent);
    OnBox([&](QMessageBox& box) {
      EXPECT_EQ(box.icon(), QMessageBox::NoIcon);
      EXPECT_EQ(box.standardButtons(), QMessageBox::Yes | QMessageBox::No);
      const auto default_button =
          c.default_answer == Answer::kYes ? QMessageBox::Yes : QMessageBox::No;
      EXPECT_EQ(box.defaultButton(), box.button(default_button));
      if (c.clicked == QMessageBox::NoButton) {
        messenger.Dismiss();
      } else {
        box.button(c.clicked)->click();
      }
    });
    EXPECT_EQ(messenger.Ask(QStringLiteral("Q"), QStringLiteral("Sure?"), c.default_answer),
              c.expected);
  }
}

}  // namespace
}  // namespace tallivan
