// Times the window on a book, on whatever Qt platform it is run (off screen, or X11 under Xvfb):
//   open     from constructing frmMain until the book's text is shown
//   f1       F1 until the new text is in the box, drawn, and the caret at its end
//   key      keystroke to paint: a key typed at the end of the book until the box is drawn again
//            (median and slowest of the keys)
//   key_totals  the same with the totals line on, until the line is drawn with the new figures
//   copy_snapshot  what taking a recovery copy of the text costs the window's thread
//   stall    the longest the window's thread was kept from its events while idle, and while a
//            recovery copy of the typed text was taken
//   window_bench BOOK   prints "NAME SECONDS" lines; closing may save the book, so pass a copy.
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <variant>
#include <vector>

#include "ledger/ledger.h"
#include "storage/book_file.h"
#include "ui/frm_main.h"
#include "ui/text_bridge.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kKeys = 40;

// Answers nothing and remembers whether anything was said.
class QuietMessenger : public tallivan::Messenger {
 public:
  explicit QuietMessenger(int* said) : said_(said) {}
  tallivan::Delivery Inform(const std::string&, const std::string&) override {
    ++*said_;
    return tallivan::Delivery::kSeen;
  }
  tallivan::Answer Ask(const tallivan::Question& question) override {
    ++*said_;
    return question.safe;
  }
  void Dismiss() override {}
  void Log(const std::string&) override { ++*said_; }

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

// Runs the event loop for `seconds` and gives the longest gap between beats of a 1 ms timer: the
// longest the window's thread was kept from its events.
double LongestStall(double seconds) {
  QElapsedTimer since_beat;
  qint64 longest = 0;
  QTimer beat;
  beat.setTimerType(Qt::PreciseTimer);
  QObject::connect(&beat, &QTimer::timeout, [&] {
    longest = std::max(longest, since_beat.nsecsElapsed());
    since_beat.restart();
  });
  beat.start(1);
  since_beat.start();
  QTest::qWait(static_cast<int>(seconds * 1000));
  return static_cast<double>(longest) / 1e9;
}

int Fail(const char* what) {
  std::fprintf(stderr, "window_bench: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) return Fail("usage: window_bench BOOK");
  const std::filesystem::path path(argv[1]);
  const tallivan::Result<std::u16string> book = tallivan::LoadBookFile(path);
  if (!book) return Fail("cannot read the book");
  const auto outcome = tallivan::RecalculateEdits(book.value());
  if (!std::holds_alternative<tallivan::Edits>(outcome)) return Fail("the book is rejected");
  const tallivan::Edits& edits = std::get<tallivan::Edits>(outcome);

  int said = 0;
  const Clock::time_point open_start = Clock::now();
  auto window = std::make_unique<tallivan::frmMain>(QString::fromLocal8Bit(argv[1]),
                                                    std::make_unique<QuietMessenger>(&said));
  window->show();
  window->activateWindow();
  if (!QTest::qWaitForWindowActive(window.get(), 60000)) return Fail("the window never activated");
  Show(*window);
  const double open_seconds = SecondsSince(open_start);
  if (window->session().state() != tallivan::BookState::kLoaded || said != 0) {
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

  // Typing at the end, as a user adds today's entries; each key is drawn before the next. With
  // the totals line on, the line's figures are brought up to date and drawn too.
  const auto type_keys = [&window](tallivan::TotalsBar::Following totals) {
    std::vector<double> keys;
    for (int i = 0; i < kKeys; ++i) {
      const Clock::time_point key_start = Clock::now();
      QTest::keyClick(window->txtMain, i % 4 == 0   ? Qt::Key_BracketLeft
                                       : i % 4 == 3 ? Qt::Key_BracketRight
                                                    : Qt::Key_1);
      window->txtMain->viewport()->repaint();
      if (totals == tallivan::TotalsBar::Following::kOn) {
        window->totals_bar->Refresh();
        window->totals_bar->repaint();
      }
      keys.push_back(SecondsSince(key_start));
      QTest::qWait(20);
    }
    std::sort(keys.begin(), keys.end());
    return keys;
  };
  const std::vector<double> keys = type_keys(tallivan::TotalsBar::Following::kOff);
  if (!CaretAtEnd(*window)) return Fail("typing did not go to the end");
  // The line is shown without keeping the choice, which is the user's.
  window->totals_bar->show();
  window->totals_bar->SetFollowing(tallivan::TotalsBar::Following::kOn);
  window->totals_bar->setGeometry(0, window->height() - 20, window->width(), 20);
  Show(*window);
  const std::vector<double> totals_keys = type_keys(tallivan::TotalsBar::Following::kOn);
  if (window->totals_bar->figures().isEmpty()) return Fail("the totals line shows nothing");

  // What a recovery copy takes on the window's thread: the rest is done on a thread of its own.
  const Clock::time_point snapshot_start = Clock::now();
  for (int i = 0; i < 10; ++i) (void)tallivan::LedgerTextLater(*window->txtMain->document());
  const double snapshot_seconds = SecondsSince(snapshot_start) / 10;

  // The recovery copy is due a quiet while after the last key; until then the thread is idle.
  const double idle_stall = LongestStall(1.0);
  const std::filesystem::path copy = window->session().recovery_copy();
  const double copy_stall = LongestStall(2.5);
  window->session().FinishRecoveryCopies();
  std::error_code error;
  if (copy.empty() || !std::filesystem::exists(copy, error)) return Fail("no recovery copy");

  window->RequestClose(tallivan::Attendance::kUnattended);
  std::printf("open %.4f\nf1 %.4f\nkey_median %.5f\nkey_max %.5f\n", open_seconds, f1_seconds,
              keys[keys.size() / 2], keys.back());
  std::printf("key_totals_median %.5f\nkey_totals_max %.5f\n", totals_keys[totals_keys.size() / 2],
              totals_keys.back());
  std::printf("copy_snapshot %.5f\nidle_stall %.5f\ncopy_stall %.5f\n", snapshot_seconds,
              idle_stall, copy_stall);
  return 0;
}
