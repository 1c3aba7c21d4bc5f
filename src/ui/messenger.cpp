#include "ui/messenger.h"

#include <QMessageBox>
#include <QPushButton>
#include <cstdio>

namespace tallivan {
namespace {

QString ForDisplay(const std::string& body) {
  return QString::fromStdString(body).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

}  // namespace

BoxMessenger::BoxMessenger(QWidget* parent) : parent_(parent) {}

void BoxMessenger::Inform(const std::string& title, const std::string& body) {
  if (dismissed_) return;
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title), ForDisplay(body),
                  QMessageBox::Ok, parent_);
  box.setTextFormat(Qt::PlainText);
  shown_ = &box;
  box.exec();
  shown_ = nullptr;
}

Answer BoxMessenger::Ask(const Question& question) {
  if (dismissed_) return question.unanswered;
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(question.title),
                  ForDisplay(question.body), QMessageBox::Yes | QMessageBox::No, parent_);
  box.setTextFormat(Qt::PlainText);
  QPushButton* keep_apart = nullptr;
  if (question.offers_keep_apart) {
    keep_apart = box.addButton(QString::fromUtf8(kKeepApartLabel), QMessageBox::AcceptRole);
  }
  const auto answer_button = [&](Answer answer) -> QAbstractButton* {
    switch (answer) {
      case Answer::kYes:
        return box.button(QMessageBox::Yes);
      case Answer::kKeepApart:
        return keep_apart;
      default:
        return box.button(QMessageBox::No);
    }
  };
  if (auto* button = qobject_cast<QPushButton*>(answer_button(question.default_answer))) {
    box.setDefaultButton(button);
  }
  box.setEscapeButton(QMessageBox::No);
  shown_ = &box;
  box.exec();
  shown_ = nullptr;
  if (dismissed_) return question.unanswered;
  if (keep_apart != nullptr && box.clickedButton() == keep_apart) return Answer::kKeepApart;
  return box.clickedButton() == box.button(QMessageBox::Yes) ? Answer::kYes : Answer::kNo;
}

void BoxMessenger::Dismiss() {
  dismissed_ = true;
  if (shown_) shown_->done(0);
}

void BoxMessenger::Log(const std::string& line) {
  std::fprintf(stderr, "tallivan: %s\n", line.c_str());
}

}  // namespace tallivan
