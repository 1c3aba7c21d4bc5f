// Times the window on a book, off screen: from constructing frmMain until the book's text is shown,
// and F1 until the new text is in the box and the caret at its end.
//   window_bench BOOK   prints "open SECONDS" and "f1 SECONDS"; the book is rewritten on F1's
//                       behalf only in memory, but closing may save it, so pass a copy.
#include <QApplication>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <chrono>
#include <cstdio>
#include <memory>
#include <variant>

#include "ledger/ledger.h"
#include "storage/book.h"
#include "ui/frm_main.h"

namespace {

using Clock = std::chrono::steady_clock;

// Answers nothing and remembers whether anything was said.
class QuietMessenger : public tallivan::Messenger {
 public:
  explicit QuietMessenger(int* said) : said_(said) {}
  void Inform(const QString&, const QString&) override { ++*said_; }
  tallivan::Answer Ask(const QString&, const QString&, tallivan::Answer answer) override {
    ++*said_;
    return answer;
  }
  void Dismiss() override {}

 private:
  int* said_;
};

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Lets pending events run and paints the box now, so that what the user would see is drawn.
void Show(tallivan::frmMain& window) {
  QCoreApplication::processEvents();
  window.txtMain->viewport()->repaint();
}

bool CaretAtEnd(const tallivan::frmMain& window) {
  const QTextCursor cursor = window.txtMain->textCursor();
  return !cursor.hasSelection() &&
         cursor.position() == window.txtMain->document()->characterCount() - 1;
}

int Fail(const char* what) {
  std::fprintf(stderr, "window_bench: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) return Fail("usage: window_bench BOOK");
  const QString path = QString::fromLocal8Bit(argv[1]);
  const tallivan::Result<std::u16string> book = tallivan::LoadBook(path);
  if (!book) return Fail("cannot read the book");
  const auto outcome = tallivan::RecalculateEdits(book.value());
  if (!std::holds_alternative<tallivan::Edits>(outcome)) return Fail("the book is rejected");
  const tallivan::Edits& edits = std::get<tallivan::Edits>(outcome);

  int said = 0;
  const Clock::time_point open_start = Clock::now();
  auto window = std::make_unique<tallivan::frmMain>(path, std::make_unique<QuietMessenger>(&said));
  window->show();
  window->activateWindow();
  if (!QTest::qWaitForWindowActive(window.get(), 60000)) return Fail("the window never activated");
  Show(*window);
  const double open_seconds = SecondsSince(open_start);
  if (window->book_state() != tallivan::BookState::kLoaded || said != 0) {
    return Fail("the book was not shown as it is");
  }
  if (!CaretAtEnd(*window)) return Fail("the caret is not at the end after loading");

  const Clock::time_point f1_start = Clock::now();
  QTest::keyClick(window->txtMain, Qt::Key_F1);
  Show(*window);
  const double f1_seconds = SecondsSince(f1_start);
  if (said != 0 || !CaretAtEnd(*window)) return Fail("F1 did not end with the caret at the end");
  const QTextDocument& document = *window->txtMain->document();
  for (const tallivan::LineEdit& edit : edits) {
    const QString shown = document.findBlockByNumber(static_cast<int>(edit.line_index)).text();
    if (shown != QString::fromStdU16String(edit.new_line)) return Fail("F1 left a stale line");
  }

  std::printf("open %.4f\nf1 %.4f\n", open_seconds, f1_seconds);
  return 0;
}
