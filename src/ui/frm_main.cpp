#include "ui/frm_main.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QInputDialog>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLocale>
#include <QMenu>
#include <QSessionManager>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <utility>
#include <variant>

#include "ledger/ledger.h"
#include "storage/book.h"
#include "ui/key_code.h"
#include "ui/messenger.h"
#include "ui/text_bridge.h"

namespace tallivan {
namespace {

constexpr int kInnerWidth = 312;
constexpr int kInnerHeight = 213;
constexpr int kBoxWidth = 313;
constexpr int kBoxHeight = 217;

// The user's settings (see UserSettings) that this window keeps: whether the totals line is shown
// ("1" or "0"), and the window's size and place as QWidget::saveGeometry gives it, in base64.
constexpr char kTotalsKey[] = "window.totals_line";
constexpr char kGeometryKey[] = "window.qt_geometry";

std::u16string_view View(const QString& text) {
  return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size())};
}

std::filesystem::path NativePath(const QString& path) {
  return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// Latin letters and digits come from a face in which 1, l and I, and 0 and O, look different;
// Chinese comes from the Song face.
QFont LedgerFont() {
  QFont font;
  font.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("宋体"),
                    QStringLiteral("SimSun"), QStringLiteral("AR PL UMing CN"),
                    QStringLiteral("AR PL UMing TW")});
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
    : QWidget(nullptr),
      txtMain(new LedgerTextBox(this)),
      totals_bar(new TotalsBar(txtMain, this)),
      find_bar(new FindBar(txtMain, this)),
      messenger_(std::move(messenger)) {
  if (!messenger_) messenger_ = std::make_unique<BoxMessenger>(this);
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QString::fromUtf8(kCaption));
  resize(kInnerWidth, kInnerHeight);
  // The size and place the user's last window closed with, if it fits a screen now.
  if (const std::optional<std::string> geometry = settings_.Get(kGeometryKey)) {
    restoreGeometry(QByteArray::fromBase64(QByteArray::fromStdString(*geometry)));
  }

  txtMain->setObjectName(QStringLiteral("txtMain"));
  txtMain->setGeometry(0, 0, kBoxWidth, kBoxHeight);
  txtMain->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  txtMain->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  txtMain->setLineWrapMode(QPlainTextEdit::NoWrap);
  txtMain->setFont(LedgerFont());
  txtMain->SetLedgerText(kSampleText);
  txtMain->installEventFilter(this);
  txtMain->viewport()->installEventFilter(this);
  txtMain->setFocus();
  // The sample is not drawn before the book has had its chance to replace it.
  txtMain->SetDrawing(LedgerTextBox::Drawing::kGroundOnly);

  totals_bar->hide();
  // Ctrl+T shows and hides the totals line, here and in the box's context menu.
  totals_action_ = new QAction(tr("Totals line"), this);
  totals_action_->setCheckable(true);
  totals_action_->setShortcut(QKeySequence(Qt::ControlModifier | Qt::Key_T));
  connect(totals_action_, &QAction::triggered, this,
          [this](bool checked) { SetTotals(checked ? Totals::kShown : Totals::kHidden); });
  addAction(totals_action_);
  find_bar->hide();
  connect(find_bar, &FindBar::Closed, this, &frmMain::Form_Resize);
  auto* find = new QAction(this);
  find->setShortcut(QKeySequence(Qt::ControlModifier | Qt::Key_F));
  connect(find, &QAction::triggered, this, [this] {
    find_bar->Open();
    Form_Resize();
  });
  addAction(find);
  auto* go_to = new QAction(this);
  go_to->setShortcut(QKeySequence(Qt::ControlModifier | Qt::Key_G));
  connect(go_to, &QAction::triggered, this, &frmMain::AskLineToGoTo);
  addAction(go_to);
  txtMain->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(txtMain, &QWidget::customContextMenuRequested, this, &frmMain::ShowContextMenu);

  recovery_timer_.setSingleShot(true);
  connect(&recovery_timer_, &QTimer::timeout, this, &frmMain::KeepRecoveryCopy);
  auto* save = new QAction(this);
  save->setShortcut(QKeySequence::Save);
  connect(save, &QAction::triggered, this, &frmMain::SaveNow);
  addAction(save);
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
    const int16_t pressed = VirtualKeyCode(*key);
    int16_t key_code = pressed;
    txtMain_KeyDown(key_code, ShiftState(*key));
    if (pressed != 0 && key_code == 0) return true;  // the handler swallowed the key
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
  settings_.Set(kGeometryKey, saveGeometry().toBase64().toStdString()).IgnoreError();
  event->accept();
}

void frmMain::Form_Initialize(QString book_path) {
  book_path_ = book_path.isEmpty() ? BookPath() : std::move(book_path);
  session_ = std::make_unique<BookSession>(NativePath(book_path_), std::u16string(kSampleText),
                                           *messenger_, clock_);
  session_->OnRecoveryTrouble([this] {
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (closed_) return;
          Busy busy(this);
          session_->TellRecoveryTrouble();
        },
        Qt::QueuedConnection);
  });
}

void frmMain::Form_Resize() {
  const int bar = totals_bar->isHidden() ? 0 : totals_bar->sizeHint().height();
  const int find = find_bar->isHidden() ? 0 : find_bar->sizeHint().height();
  txtMain->setGeometry(0, 0, width(), height() - bar - find);
  find_bar->setGeometry(0, height() - bar - find, width(), find);
  totals_bar->setGeometry(0, height() - bar, width(), bar);
}

void frmMain::SetTotals(Totals totals) {
  // A choice that cannot be kept still holds for this window.
  settings_.Set(kTotalsKey, totals == Totals::kShown ? "1" : "0").IgnoreError();
  ShowTotals(totals);
}

void frmMain::ShowTotals(Totals totals) {
  const bool shown = totals == Totals::kShown;
  totals_action_->setChecked(shown);
  // Until the book is loaded the box holds the sample, which is not followed.
  const bool follow = shown && activated_;
  if (shown != !totals_bar->isHidden() || follow != totals_bar->following()) {
    totals_bar->SetFollowing(follow ? TotalsBar::Following::kOn : TotalsBar::Following::kOff);
  }
  totals_bar->setVisible(shown);
  Form_Resize();
}

void frmMain::AskLineToGoTo() {
  auto* dialog = new QInputDialog(this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(tr("Go to line"));
  dialog->setLabelText(tr("Line number:"));
  dialog->setInputMode(QInputDialog::IntInput);
  dialog->setIntRange(1, txtMain->document()->blockCount());
  dialog->setIntValue(txtMain->textCursor().blockNumber() + 1);
  connect(dialog, &QInputDialog::intValueSelected, this, &frmMain::GoToLine);
  dialog->open();
}

void frmMain::GoToLine(int line) {
  const QTextDocument& document = *txtMain->document();
  const int index = std::clamp(line, 1, document.blockCount()) - 1;
  txtMain->SetCaret(document.findBlockByNumber(index).position());
  txtMain->centerCursor();
  txtMain->setFocus();
}

void frmMain::ShowContextMenu(const QPoint& at) {
  std::unique_ptr<QMenu> menu(txtMain->createStandardContextMenu(at));
  menu->addSeparator();
  menu->addAction(totals_action_);
  menu->exec(txtMain->viewport()->mapToGlobal(at));
}

void frmMain::Form_Activate() {
  if (activated_) return;
  activated_ = true;
  Busy busy(this);
  if (const std::optional<std::u16string> text = session_->Open()) {
    txtMain->SetLedgerText(*text);
    if (!HoldsExactly(*txtMain->document(), *text)) {
      session_->ShownInexactly(txtMain->LedgerText());
    }
  }
  txtMain->SetCaretAtEnd();
  txtMain->SetDrawing(LedgerTextBox::Drawing::kText);
  ShowTotals(settings_.Get(kTotalsKey) == "1" ? Totals::kShown : Totals::kHidden);
  connect(txtMain->document(), &QTextDocument::contentsChanged, this, &frmMain::OnTextChanged);
}

void frmMain::txtMain_KeyDown(int16_t& key_code, [[maybe_unused]] int16_t shift) {
  const KeyRole role = RoleOfKey(key_code);
  if (role == KeyRole::kPassOn) return;
  if (role == KeyRole::kSwallow) {
    key_code = 0;  // no meaning here, and none of the text box's own either
    return;
  }
  // The text box gives some function keys meanings of its own (on X11, F14 undoes and F20 cuts):
  // a recalculation key does nothing else.
  key_code = 0;
  Busy busy(this);
  const std::u16string text = txtMain->LedgerText();
  const QString separator = QLocale::system().decimalPoint();
  std::variant<Edits, Rejection> outcome = RecalculateEdits(text, View(separator));
  if (const auto* rejection = std::get_if<Rejection>(&outcome)) {
    if (rejection->has_message()) {
      messenger_->Inform(rejection->message.title, rejection->message.Body());
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
  recovery_timer_.stop();
  const CloseDecision decision = session_->Close(attendance, txtMain->LedgerText());
  // A window that stays open goes on keeping its recovery copy.
  if (decision == CloseDecision::kStayOpen) ArmRecoveryTimer();
  return decision;
}

void frmMain::SaveNow() {
  if (closed_ || !activated_ || busy_ > 0) return;
  Busy busy(this);
  recovery_timer_.stop();
  if (session_->Save(txtMain->LedgerText()) == SaveOutcome::kNotSaved) ArmRecoveryTimer();
}

void frmMain::OnCommitDataRequest(QSessionManager& manager) {
  if (busy_ > 0 || !manager.allowsInteraction()) {
    RequestClose(Attendance::kUnattended);
    return;
  }
  if (!RequestClose(Attendance::kAttended)) manager.cancel();
  manager.release();
}

void frmMain::OnTextChanged() {
  if (closed_) return;
  session_->TextChanged();
  ArmRecoveryTimer();
}

void frmMain::ArmRecoveryTimer() {
  if (const std::optional<TimePoint> due = session_->RecoveryCopyDue()) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - clock_.Now());
    recovery_timer_.start(std::max<int>(0, static_cast<int>(wait.count())));
  }
}

void frmMain::KeepRecoveryCopy() {
  if (closed_) return;
  session_->KeepRecoveryCopy(LedgerTextLater(*txtMain->document()));
}

}  // namespace tallivan
