#ifndef TALLIVAN_SESSION_BOOK_SESSION_H_
#define TALLIVAN_SESSION_BOOK_SESSION_H_

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/clock.h"
#include "session/messenger.h"
#include "session/session_files.h"
#include "storage/atomic_writer.h"
#include "storage/book_lock.h"

namespace tallivan {

// What the session knows about the book, which decides what closing may do with it.
enum class BookState {
  kNotLoaded,       // the window has not been activated yet
  kLoaded,          // read and shown exactly
  kMissing,         // there was no book; closing creates it
  kUnread,          // it exists but could not be read; never overwritten without consent
  kNotHeldExactly,  // read, but the box could not hold it exactly; never overwritten silently
};

// Whether someone is there to answer questions while the window closes.
enum class Attendance { kAttended, kUnattended };

// What closing decides.
enum class CloseDecision { kClose, kStayOpen };

// What saving with the window kept open came to.
enum class SaveOutcome { kSaved, kNotSaved };

// The length and a hash of a text, to tell whether two texts differ without keeping both; the
// same for a text in every run, so that it can be kept in a file.
struct Fingerprint {
  uint64_t length = 0;
  uint64_t hash = 0;

  static Fingerprint Of(std::u16string_view text);
  friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};

// The life of one window's book, whatever shows the window: loading it at the first activation,
// telling other windows of the same book apart, keeping a recovery copy while the text differs from
// the book, and deciding at closing whether to write it, ask first, or keep the text apart in a
// file of its own. Nothing typed is lost: every way out that does not save the text either keeps it
// or was chosen by the user.
//
// The window calls Open() once, then TextChanged() at every change of its text and
// KeepRecoveryCopy() when RecoveryCopyDue() comes, and Close() at every way of closing. Questions
// go through the messenger; with nobody there to answer, a question's answer is to keep the text
// apart, and the path goes to the messenger's log.
class BookSession {
 public:
  // When a recovery copy is due: a quiet while after the last change; while changes go on, no
  // later than a while after the first, but then in a pause between them, so that taking the copy
  // never holds up a key; and no later than a longer while, pause or not.
  static constexpr std::chrono::seconds kRecoveryQuiet{2};
  static constexpr std::chrono::seconds kRecoveryMaxWait{5};
  static constexpr std::chrono::milliseconds kRecoveryPause{250};
  static constexpr std::chrono::seconds kRecoveryHardLimit{15};

  // The session of `book`, shown in a box that holds `initial_text` until Open() gives it the book.
  BookSession(std::filesystem::path book, std::u16string initial_text, Messenger& messenger,
              const Clock& clock);
  ~BookSession();

  BookSession(const BookSession&) = delete;
  BookSession& operator=(const BookSession&) = delete;

  // The book's path as given.
  const std::filesystem::path& book() const { return book_; }

  // What the session knows about the book.
  BookState state() const { return state_; }

  // Loads the book, telling the user about anything that stands in the way (the book missing or
  // unreadable, its folder unwritable, another window on it, a recovery copy of a window that did
  // not close, files kept apart earlier). Gives the text for the box, or nullopt to keep its text.
  std::optional<std::u16string> Open();

  // Says that the box could not hold the text Open() gave exactly, and holds `held` instead.
  void ShownInexactly(std::u16string_view held);

  // Says that the box's text changed.
  void TextChanged();

  // When the box's text should next be given to KeepRecoveryCopy(); nullopt when it need not be.
  std::optional<TimePoint> RecoveryCopyDue() const;

  // Keeps the box's whole text, which `text` gives, as this window's recovery copy in the user's
  // state folder, or removes the copy when it is what the book holds. `text` is called, and the
  // file written, on a thread of its own, so that a large book's copy does not hold up the window.
  void KeepRecoveryCopy(std::function<std::u16string()> text);

  // As above, with the text at hand.
  void KeepRecoveryCopy(std::u16string text) {
    KeepRecoveryCopy([text = std::move(text)] { return text; });
  }

  // Waits until recovery copies under way are on disk.
  void FinishRecoveryCopies();

  // Where this window keeps its recovery copy; empty when it can keep none.
  std::filesystem::path recovery_copy() const;

  // Has `wake` called, on the thread that writes recovery copies, when a copy could not be
  // written where it belongs; the window then calls TellRecoveryTrouble() on its own thread.
  void OnRecoveryTrouble(std::function<void()> wake);

  // Tells the user, once until copies can be written again, that crash recovery stopped working,
  // why, and where the copy went instead if it went anywhere.
  void TellRecoveryTrouble();

  // Decides what closing does with `text`, the box's whole text: writes the book, asks first, or
  // keeps the text apart. After kClose the session is over.
  CloseDecision Close(Attendance attendance, std::u16string_view text);

  // Writes `text`, the box's whole text, to the book as closing does (with its history, and asking
  // first where closing would), but the window stays open: Ctrl+S. Nothing is kept apart; a save
  // that fails is told and the text stays in the box and its recovery copy.
  SaveOutcome Save(std::u16string_view text);

 private:
  class RecoveryWriter;
  struct StaleCopy;
  struct KeptFile;

  std::optional<std::u16string> OfferRecovery(const std::optional<std::u16string>& book_text);
  std::vector<StaleCopy> FindStaleCopies();
  std::vector<KeptFile> UnreportedKeptFiles() const;
  void MarkReported(const std::vector<KeptFile>& files) const;
  std::string KeptPath(const KeptFile& file) const;
  unsigned PrivateMode() const;
  std::string KeptWhere() const;
  bool KeepCopyNow(std::u16string_view text);

  // Whether the window goes on after a write.
  enum class Ending { kClose, kStayOpen };
  std::optional<CloseDecision> Store(Attendance attendance, std::u16string_view text,
                                     Ending ending);
  Question WriteQuestion(std::string body, Ending ending, const char* yes_label = nullptr) const;
  void TellSaveWarnings(Attendance attendance, const SaveReport& report);
  std::optional<CloseDecision> Settle(Attendance attendance, Question question,
                                      std::u16string_view text);
  CloseDecision KeepApart(Attendance attendance, std::u16string_view text);
  CloseDecision Finish();

  std::filesystem::path book_;
  Messenger& messenger_;
  const Clock& clock_;
  SessionFiles files_;
  BookState state_ = BookState::kNotLoaded;
  std::optional<Fingerprint> disk_;  // what the book held when last read or written; nullopt: none
  // What the box held when the book could not be shown; at first, the initial text.
  Fingerprint shown_;
  // What the box was given from the book, as long as it holds exactly that; nullopt once it
  // holds anything else the book does not (a restored copy).
  std::optional<Fingerprint> loaded_;
  std::optional<unsigned> book_mode_;
  BookLock shared_lock_;  // beside the book: windows of every user
  BookLock own_lock_;     // in the state folder: this user's windows, and their recovery copies
  // A restored recovery copy of another slot, removed once this window's own copy or the book
  // holds its text.
  const SafeFolder* adopted_folder_ = nullptr;
  std::string adopted_name_;
  std::optional<TimePoint> first_unkept_change_;
  std::optional<TimePoint> last_change_;
  std::unique_ptr<RecoveryWriter> writer_;
  bool history_warned_ = false;
  bool closed_ = false;
};

}  // namespace tallivan

#endif  // TALLIVAN_SESSION_BOOK_SESSION_H_
