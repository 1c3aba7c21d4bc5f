#include "ui/frm_main.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLocale>
#include <QSessionManager>
#include <QTimer>
#include <functional>
#include <utility>
#include <variant>

#include "ledger/ledger.h"
#include "storage/book.h"
#include "ui/key_code.h"
#include "ui/text_bridge.h"

namespace tallivan {

const std::u16string_view kSampleText =
    u"今天在路边捡到了[0.01]元钱。\r\n"
    u"#\r\n"
    u"把这[-0.01]元钱交给了警察叔叔。\r\n"
    u"#\r\n"
    u"双斜杠后面的内容是注释 //注释里的金额不计算[1000]\r\n"
    u"#\r\n"
    u"\r\n"
    u"一千个一分钱[1000 0.01]~\r\n"
    u"#\r\n"
    u"\r\n"
    u"按下F1-F12任意一个键...\r\n"
    u"Press any key between F1 and F12...\r\n";

namespace {

constexpr int kInnerWidth = 312;
constexpr int kInnerHeight = 213;
constexpr int kBoxWidth = 313;
constexpr int kBoxHeight = 217;

const QString kInfoTitle = QStringLiteral("Info - 提示");
const QString kErrorTitle = QStringLiteral("Error - 发生错误");
const QString kWarningTitle = QStringLiteral("Warning - 警告");
const QString kLineBreak = QStringLiteral("\r\n");

const QString kMissingBody = QStringLiteral(
    "Book not found. Creating a new one. The book is a file named 'book' in this folder.\r\n"
    "没找到已存在的账本，创建了一个新的。账本是在本文件夹下的名为“book”的文件。");
const QString kNotHeldBody = QStringLiteral(
    "The book holds text this window cannot show exactly. It will not be overwritten without "
    "asking.\r\n"
    "账本中有本窗口无法原样显示的内容。未经询问不会覆盖它。");
const QString kUnreadEnglish = QStringLiteral(
    "The book %1 could not be read when the window opened. Overwrite it with the text in this "
    "window?");
const QString kUnreadChinese =
    QStringLiteral("打开窗口时未能读取账本 %1。要用本窗口中的文字覆盖它吗？");
const QString kNotHeldEnglish = QStringLiteral(
    "The book %1 holds text this window cannot show exactly. Overwrite it with the text in this "
    "window?");
const QString kNotHeldChinese =
    QStringLiteral("账本 %1 中有本窗口无法原样显示的内容。要用本窗口中的文字覆盖它吗？");
const QString kChangedEnglish = QStringLiteral(
    "The book %1 has been changed by another program since it was loaded. Overwrite it with the "
    "text in this window?");
const QString kChangedChinese =
    QStringLiteral("账本 %1 在载入后被其他程序修改过。要用本窗口中的文字覆盖它吗？");
const QString kSaveFailedEnglish =
    QStringLiteral("The book could not be saved. Close without saving it?");
const QString kSaveFailedChinese = QStringLiteral("账本未能保存。不保存就关闭吗？");

// A fingerprint of a text for telling whether the book changed: its length and a 64-bit hash.
QByteArray HashOf(std::u16string_view text) {
  const size_t hash = std::hash<std::u16string_view>{}(text);
  return QByteArray::number(static_cast<qulonglong>(text.size())) + ':' +
         QByteArray::number(static_cast<qulonglong>(hash), 16);
}

std::u16string_view View(const QString& text) {
  return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size())};
}

QFont SongFont() {
  QFont font;
  font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"),
                    QStringLiteral("AR PL UMing CN"), QStringLiteral("AR PL UMing TW")});
  font.setPointSize(9);
  font.setWeight(QFont::Normal);
  font.setItalic(false);
  font.setUnderline(false);
  font.setStrikeOut(false);
  return font;
}

}  // namespace

// Counts a handler that may show a message; a close deferred meanwhile follows when the last one
// ends.
class frmMain::Busy {
 public:
  explicit Busy(frmMain* window) : window_(window) { ++window_->busy_; }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  ~Busy() {
    if (--window_->busy_ > 0 || !window_->close_deferred_) return;
    window_->close_deferred_ = false;
    QTimer::singleShot(0, window_,
                       [window = window_] { window->RequestClose(Attendance::kUnattended); });
  }

 private:
  frmMain* window_;
};

frmMain::frmMain(QString book_path, std::unique_ptr<Messenger> messenger)
    : QWidget(nullptr), txtMain(new LedgerTextBox(this)), messenger_(std::move(messenger)) {
  if (!messenger_) messenger_ = std::make_unique<BoxMessenger>(this);
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QString::fromUtf8(kCaption));
  resize(kInnerWidth, kInnerHeight);

  txtMain->setObjectName(QStringLiteral("txtMain"));
  txtMain->setGeometry(0, 0, kBoxWidth, kBoxHeight);
  txtMain->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  txtMain->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  txtMain->setLineWrapMode(QPlainTextEdit::NoWrap);
  txtMain->setFont(SongFont());
  txtMain->SetLedgerText(kSampleText);
  txtMain->installEventFilter(this);
  txtMain->viewport()->installEventFilter(this);
  txtMain->setFocus();

#ifndef QT_NO_SESSIONMANAGER
  connect(qGuiApp, &QGuiApplication::commitDataRequest, this, &frmMain::OnCommitDataRequest);
#endif
  connect(qApp, &QCoreApplication::aboutToQuit, this,
          [this] { RequestClose(Attendance::kUnattended); });

  Form_Initialize(std::move(book_path));
}

frmMain::~frmMain() = default;

bool frmMain::RequestClose(Attendance attendance) {
  if (closed_) return true;
  if (busy_ > 0) {
    if (attendance == Attendance::kUnattended) {
      close_deferred_ = true;
      messenger_->Dismiss();
    }
    return false;
  }
  close_attendance_ = attendance;
  const bool closed = close();
  close_attendance_ = Attendance::kAttended;
  return closed;
}

bool frmMain::event(QEvent* event) {
  const bool handled = QWidget::event(event);
  if (event->type() == QEvent::WindowActivate) Form_Activate();
  return handled;
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == txtMain && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    txtMain_KeyDown(VirtualKeyCode(*key), ShiftState(*key));
  } else if (watched == txtMain->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    txtMain_DblClick();
  }
  return QWidget::eventFilter(watched, event);
}

void frmMain::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Form_Resize();
}

void frmMain::closeEvent(QCloseEvent* event) {
  const Attendance attendance = std::exchange(close_attendance_, Attendance::kAttended);
  if (closed_) {
    event->accept();
    return;
  }
  if (busy_ > 0 || Form_QueryUnload(attendance) == CloseDecision::kStayOpen) {
    event->ignore();
    return;
  }
  closed_ = true;
  event->accept();
}

void frmMain::Form_Initialize(QString book_path) {
  book_path_ = book_path.isEmpty() ? BookPath() : std::move(book_path);
}

void frmMain::Form_Resize() { txtMain->setGeometry(0, 0, width(), height()); }

void frmMain::Form_Activate() {
  if (activated_) return;
  activated_ = true;
  Busy busy(this);
  Result<std::u16string> book = LoadBook(book_path_);
  if (book.ok()) {
    txtMain->SetLedgerText(book.value());
    disk_hash_ = HashOf(book.value());
    if (HoldsExactly(*txtMain->document(), book.value())) {
      book_state_ = BookState::kLoaded;
    } else {
      book_state_ = BookState::kNotHeldExactly;
      shown_hash_ = HashOf(txtMain->LedgerText());
      messenger_->Inform(kWarningTitle, kNotHeldBody);
    }
  } else if (book.error().number == kErrFileNotFound) {
    book_state_ = BookState::kMissing;
    disk_hash_.reset();
    messenger_->Inform(kInfoTitle, kMissingBody);
  } else {
    book_state_ = BookState::kUnread;
    messenger_->Inform(kErrorTitle, QString::fromStdString(book.error().description));
  }
  txtMain->SetCaretAtEnd();
}

void frmMain::txtMain_KeyDown(int16_t key_code, [[maybe_unused]] int16_t shift) {
  if (key_code < kKeyF1 || key_code > kKeyF16) return;
  Busy busy(this);
  const std::u16string text = txtMain->LedgerText();
  const QString separator = QLocale::system().decimalPoint();
  std::variant<Edits, Rejection> outcome = RecalculateEdits(text, View(separator));
  if (const auto* rejection = std::get_if<Rejection>(&outcome)) {
    if (rejection->has_message()) {
      messenger_->Inform(QString::fromStdString(rejection->message.title),
                         QString::fromStdString(rejection->message.Body()));
    }
    txtMain->SetCaret(LinePosition(*txtMain->document(), rejection->line_index));
    return;
  }
  txtMain->ApplyEdits(text, std::get<Edits>(outcome));
  txtMain->SetCaretAtEnd();
}

void frmMain::txtMain_DblClick() {}

CloseDecision frmMain::Form_QueryUnload(Attendance attendance) {
  Busy busy(this);
  if (book_state_ == BookState::kNotLoaded) {
    // Closed before the book was ever shown: the box holds no copy of it.
    const Result<std::u16string> book = LoadBook(book_path_);
    if (!book.ok() && book.error().number == kErrFileNotFound) {
      book_state_ = BookState::kMissing;
      disk_hash_.reset();
    } else {
      book_state_ = BookState::kUnread;
    }
  }
  const std::u16string text = txtMain->LedgerText();
  switch (book_state_) {
    case BookState::kUnread:
      if (text == kSampleText) return CloseDecision::kClose;
      if (!ConsentToOverwrite(attendance, kUnreadEnglish, kUnreadChinese)) {
        return KeepBook(attendance, text);
      }
      break;
    case BookState::kNotHeldExactly:
      if (HashOf(text) == shown_hash_) return CloseDecision::kClose;
      if (!ConsentToOverwrite(attendance, kNotHeldEnglish, kNotHeldChinese)) {
        return KeepBook(attendance, text);
      }
      break;
    default:
      if (BookChangedOnDisk() &&
          !ConsentToOverwrite(attendance, kChangedEnglish, kChangedChinese)) {
        return KeepBook(attendance, text);
      }
      break;
  }
  const Result<SaveReport> saved = SaveBook(book_path_, text);
  if (saved.ok()) {
    book_state_ = BookState::kLoaded;
    disk_hash_ = HashOf(text);
    return CloseDecision::kClose;
  }
  if (attendance == Attendance::kUnattended) {
    return WriteRecoveryFile(text) ? CloseDecision::kClose : CloseDecision::kStayOpen;
  }
  QString reason = QString::fromStdString(saved.error().description);
  if (!reason.contains(book_path_)) reason = book_path_ + QStringLiteral(": ") + reason;
  const QString body = reason + kLineBreak + kSaveFailedEnglish + kLineBreak + kSaveFailedChinese;
  return messenger_->Ask(kErrorTitle, body, Answer::kNo) == Answer::kYes ? CloseDecision::kClose
                                                                         : CloseDecision::kStayOpen;
}

void frmMain::OnCommitDataRequest(QSessionManager& manager) {
  if (busy_ > 0 || !manager.allowsInteraction()) {
    RequestClose(Attendance::kUnattended);
    return;
  }
  if (!RequestClose(Attendance::kAttended)) manager.cancel();
  manager.release();
}

bool frmMain::BookChangedOnDisk() const {
  const Result<std::u16string> book = LoadBook(book_path_);
  if (!book.ok()) return disk_hash_.has_value() || book.error().number != kErrFileNotFound;
  return !disk_hash_.has_value() || *disk_hash_ != HashOf(book.value());
}

bool frmMain::ConsentToOverwrite(Attendance attendance, const QString& english,
                                 const QString& chinese) {
  if (attendance == Attendance::kUnattended) return false;
  const QString body = english.arg(book_path_) + kLineBreak + chinese.arg(book_path_);
  return messenger_->Ask(kWarningTitle, body, Answer::kNo) == Answer::kYes;
}

CloseDecision frmMain::KeepBook(Attendance attendance, std::u16string_view text) {
  if (attendance == Attendance::kAttended) return CloseDecision::kStayOpen;
  return WriteRecoveryFile(text) ? CloseDecision::kClose : CloseDecision::kStayOpen;
}

bool frmMain::WriteRecoveryFile(std::u16string_view text) const {
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  const QString candidates[] = {
      book_path_ + QStringLiteral(".unsaved-") + stamp,
      QDir::home().filePath(QStringLiteral("tallivan-book.unsaved-") + stamp),
  };
  for (const QString& candidate : candidates) {
    QString path = candidate;
    for (int n = 2; QFileInfo::exists(path) || QFileInfo(path).isSymLink(); ++n) {
      path = candidate + QLatin1Char('-') + QString::number(n);
    }
    if (SaveBook(path, text).ok()) return true;
  }
  return false;
}

}  // namespace tallivan
