#include "ui/messenger.h"

#include <QMessageBox>
#include <QPushButton>
#include <cstdio>
#include <utility>
#include <vector>

namespace tallivan {
namespace {

QString ForDisplay(const std::string& body) {
  return QString::fromStdString(body).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

}  // namespace

BoxMessenger::BoxMessenger(QWidget* parent) : parent_(parent) {}

Delivery BoxMessenger::Inform(const std::string& title, const std::string& body) {
  if (dismissed_) return Delivery::kNotSeen;
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title), ForDisplay(body),
                  QMessageBox::Ok, parent_);
  box.setTextFormat(Qt::PlainText);
  shown_ = &box;
  box.exec();
  shown_ = nullptr;
  return dismissed_ ? Delivery::kNotSeen : Delivery::kSeen;
}

Answer BoxMessenger::Ask(const Question& question) {
  if (dismissed_) return question.safe;
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(question.title),
                  ForDisplay(question.body), QMessageBox::NoButton, parent_);
  box.setTextFormat(Qt::PlainText);
  std::vector<std::pair<QPushButton*, Answer>> buttons;
  for (const Choice& choice : question.choices) {
    // The role only places the button; what it does is the answer it stands for.
    QPushButton* button = box.addButton(
        QString::fromStdString(choice.label),
        choice.answer == question.safe ? QMessageBox::RejectRole : QMessageBox::ActionRole);
    buttons.emplace_back(button, choice.answer);
    if (choice.answer == question.safe) {
      box.setDefaultButton(button);
      box.setEscapeButton(button);
    }
  }
  shown_ = &box;
  box.exec();
  shown_ = nullptr;
  if (dismissed_) return question.safe;
  for (const auto& [button, answer] : buttons) {
    if (box.clickedButton() == button) return answer;
  }
  return question.safe;
}

void BoxMessenger::Dismiss() {
  dismissed_ = true;
  if (shown_) shown_->done(0);
}

void BoxMessenger::Log(const std::string& line) {
  std::fprintf(stderr, "tallivan: %s\n", line.c_str());
}

}  // namespace tallivan
