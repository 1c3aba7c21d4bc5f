#include "ui/messenger.h"

#include <QMessageBox>
#include <QPushButton>

namespace tallivan {
namespace {

QString ForDisplay(QString body) {
  return body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

}  // namespace

BoxMessenger::BoxMessenger(QWidget* parent) : parent_(parent) {}

void BoxMessenger::Inform(const QString& title, const QString& body) {
  QMessageBox box(QMessageBox::NoIcon, title, ForDisplay(body), QMessageBox::Ok, parent_);
  box.setTextFormat(Qt::PlainText);
  shown_ = &box;
  box.exec();
  shown_ = nullptr;
}

Answer BoxMessenger::Ask(const QString& title, const QString& body, Answer default_answer) {
  QMessageBox box(QMessageBox::NoIcon, title, ForDisplay(body), QMessageBox::Yes | QMessageBox::No,
                  parent_);
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(default_answer == Answer::kYes ? QMessageBox::Yes : QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  shown_ = &box;
  dismissed_ = false;
  box.exec();
  shown_ = nullptr;
  if (dismissed_) return default_answer;
  return box.clickedButton() == box.button(QMessageBox::Yes) ? Answer::kYes : Answer::kNo;
}

void BoxMessenger::Dismiss() {
  if (!shown_) return;
  dismissed_ = true;
  shown_->done(0);
}

}  // namespace tallivan
