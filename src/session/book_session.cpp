#include "session/book_session.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "storage/atomic_writer.h"
#include "storage/book_file.h"
#include "storage/file_io.h"
#include "storage/fresh_file.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr char kInfoTitle[] = "Info - 提示";
constexpr char kErrorTitle[] = "Error - 发生错误";
constexpr char kWarningTitle[] = "Warning - 警告";
constexpr char kLineBreak[] = "\r\n";

constexpr char kMissingBody[] =
    "Book not found. Creating a new one. The book is a file named 'book' in this folder.\r\n"
    "没找到已存在的账本，创建了一个新的。账本是在本文件夹下的名为“book”的文件。";
constexpr char kNotHeldBody[] =
    "The book holds text this window cannot show exactly. It will not be overwritten without "
    "asking.\r\n"
    "账本中有本窗口无法原样显示的内容。未经询问不会覆盖它。";
constexpr char kOtherWindowEnglish[] =
    "The book %1 is already open in another Tallivan window. Whichever window closes last will ask "
    "before it overwrites the other's changes.";
constexpr char kOtherWindowChinese[] =
    "账本 %1 已在另一个 Tallivan 窗口中打开。后关闭的窗口在覆盖另一个窗口的修改之前会先询问。";
constexpr char kUnsavableEnglish[] =
    "The book %1 cannot be saved: its folder cannot be written. Copy your text elsewhere before "
    "you close this window, or keep it apart when you close.";
constexpr char kUnsavableChinese[] =
    "账本 %1 "
    "无法保存：它所在的文件夹不可写入。请在关闭本窗口之前把文字复制到别处，或在关闭时选择另存。";
constexpr char kInPlaceEnglish[] =
    "The folder of the book %1 cannot take new files, so closing will write the book over in "
    "place. A power cut or crash during that save could damage it.";
constexpr char kInPlaceChinese[] =
    "账本 %1 "
    "所在的文件夹无法创建新文件，因此关闭时将直接覆盖写入账本。保存过程中若断电或崩溃，账本可能损坏"
    "。";
constexpr char kRestoreEnglish[] =
    "A recovery copy of text from a window that did not close properly was found (last written "
    "%1). Restore it into this window? If you choose No, it is kept as a separate file.";
constexpr char kRestoreChinese[] =
    "发现一份未正常关闭的窗口留下的恢复副本（最后写入于 "
    "%1）。要把它恢复到本窗口吗？选择“否”将把它保留为单独的文件。";
constexpr char kKeptFilesEnglish[] = "Text that could not be saved in the book was kept in:";
constexpr char kKeptFilesChinese[] = "未能保存到账本中的文字保存在：";
constexpr char kUnreadEnglish[] =
    "The book %1 could not be read when the window opened. Overwrite it with the text in this "
    "window?";
constexpr char kUnreadChinese[] = "打开窗口时未能读取账本 %1。要用本窗口中的文字覆盖它吗？";
constexpr char kNotHeldEnglish[] =
    "The book %1 holds text this window cannot show exactly. Overwrite it with the text in this "
    "window?";
constexpr char kNotHeldChinese[] =
    "账本 %1 中有本窗口无法原样显示的内容。要用本窗口中的文字覆盖它吗？";
constexpr char kChangedEnglish[] =
    "The book %1 has been changed by another program since it was loaded. Overwrite it with the "
    "text in this window?";
constexpr char kChangedChinese[] = "账本 %1 在载入后被其他程序修改过。要用本窗口中的文字覆盖它吗？";
constexpr char kDeletedEnglish[] =
    "The book %1 was deleted or moved since it was loaded. Closing will create it again with the "
    "text in this window. Create it?";
constexpr char kDeletedChinese[] =
    "账本 %1 在载入后被删除或移走了。关闭时将用本窗口中的文字重新创建它。要创建吗？";
constexpr char kReadOnlyEnglish[] =
    "The book %1 is read-only. Overwrite it with the text in this window?";
constexpr char kReadOnlyChinese[] = "账本 %1 是只读的。要用本窗口中的文字覆盖它吗？";
constexpr char kSaveFailedEnglish[] = "The book could not be saved. Close without saving it?";
constexpr char kSaveFailedChinese[] = "账本未能保存。不保存就关闭吗？";
constexpr char kKeepApartEnglish[] =
    "Keep apart: keep the text of this window in a separate file beside the book, and close.";
constexpr char kKeepApartChinese[] = "另存：把本窗口中的文字保存到账本旁的单独文件中，然后关闭。";
constexpr char kKeptEnglish[] = "The text of this window was kept in %1";
constexpr char kKeptChinese[] = "本窗口中的文字已保存在 %1";
constexpr char kNotKeptEnglish[] = "The text of this window could not be kept in a separate file.";
constexpr char kNotKeptChinese[] = "无法把本窗口中的文字另存为单独的文件。";

// `english` and `chinese`, with `fill` in place of "%1", as the two lines of a body.
std::string Body(std::string english, std::string chinese, const std::string& fill = {}) {
  for (std::string* line : {&english, &chinese}) {
    if (const size_t at = line->find("%1"); at != std::string::npos) line->replace(at, 2, fill);
  }
  return english + kLineBreak + chinese;
}

Question CloseQuestion(std::string body, const char* title = kWarningTitle) {
  return Question{title,
                  std::move(body) + kLineBreak + kKeepApartEnglish + kLineBreak + kKeepApartChinese,
                  Answer::kNo, Answer::kNo, true};
}

std::optional<fs::file_time_type> ModifiedTime(const fs::path& path) {
  std::error_code error;
  const fs::file_time_type time = fs::last_write_time(path, error);
  if (error) return std::nullopt;
  return time;
}

TimePoint ToSystem(fs::file_time_type time) {
  return std::chrono::time_point_cast<TimePoint::duration>(std::chrono::file_clock::to_sys(time));
}

// The slot a recovery copy's name ends in (`digits`), or nullopt when it does not end in digits
// only; a number too large for a slot is no window's.
std::optional<int> SlotOf(std::string_view digits) {
  if (digits.empty() ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  int slot = 0;
  const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), slot);
  return parsed.ec == std::errc() ? slot : BookLock::kSlots;
}

// The names the seen list of `place` holds.
std::set<std::string> SeenNames(const CompanionPlace& place) {
  std::set<std::string> seen;
  std::ifstream in(place.SeenList());
  for (std::string line; std::getline(in, line);) seen.insert(line);
  return seen;
}

}  // namespace

Fingerprint Fingerprint::Of(std::u16string_view text) {
  return {text.size(), std::hash<std::u16string_view>{}(text)};
}

// Writes recovery copies on a thread of its own, so that a large book's copy never holds up the
// window; a copy asked for while one is being written replaces any that waits.
class BookSession::RecoveryWriter {
 public:
  struct Job {
    fs::path copy;
    std::function<std::u16string()> text;
    std::optional<Fingerprint> disk;
    unsigned mode = 0600;
  };

  ~RecoveryWriter() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void Post(Job job) {
    {
      std::lock_guard lock(mutex_);
      pending_ = std::move(job);
      if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    }
    changed_.notify_all();
  }

  void Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !pending_ && !busy_; });
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stop_ || pending_; });
      if (!pending_) return;
      Job job = std::move(*pending_);
      pending_.reset();
      busy_ = true;
      lock.unlock();
      Write(job);
      lock.lock();
      busy_ = false;
      changed_.notify_all();
    }
  }

  static void Write(const Job& job) {
    const std::u16string text = job.text();
    if (job.disk && Fingerprint::Of(text) == *job.disk) {
      RemoveFile(job.copy);
      return;
    }
    // A copy that cannot be written now is tried again at the next change.
    [[maybe_unused]] Result<SaveReport> saved = SaveBookFile(
        job.copy, text, {.read_only = ReadOnlyFile::kReplace, .new_file_mode = job.mode});
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Job> pending_;
  bool busy_ = false;
  bool stop_ = false;
  std::thread thread_;
};

struct BookSession::StaleCopy {
  fs::path path;
  const CompanionPlace* place;
  fs::file_time_type time;
  std::u16string text;
};

BookSession::BookSession(fs::path book, std::u16string initial_text, Messenger& messenger,
                         const Clock& clock)
    : book_(std::move(book)),
      messenger_(messenger),
      clock_(clock),
      places_(CompanionPlaces(book_)),
      shown_(Fingerprint::Of(initial_text)),
      writer_(std::make_unique<RecoveryWriter>()) {}

BookSession::~BookSession() = default;

std::optional<std::u16string> BookSession::Open() {
  if (state_ != BookState::kNotLoaded || closed_) return std::nullopt;
  std::error_code error;
  const fs::file_status status = fs::status(book_, error);
  if (!error && fs::exists(status)) book_mode_ = static_cast<unsigned>(status.permissions()) & 0777;
  const unsigned lock_mode = book_mode_ ? (*book_mode_ & 0666) | 0600 : 0600;
  for (const CompanionPlace& place : places_) {
    lock_ = BookLock::Take(place.LockFile(), lock_mode);
    if (lock_.slot() >= 0) {
      lock_place_ = &place;
      break;
    }
  }

  const Result<std::u16string> book = LoadBookFile(book_);
  std::optional<std::u16string> shown;
  if (book.ok()) {
    state_ = BookState::kLoaded;
    disk_ = Fingerprint::Of(book.value());
    shown = book.value();
  } else if (book.error().number == kErrFileNotFound) {
    state_ = BookState::kMissing;
    messenger_.Inform(kInfoTitle, std::string(kMissingBody) + kLineBreak + PathUtf8(book_));
  } else {
    state_ = BookState::kUnread;
    messenger_.Inform(kErrorTitle, book.error().description);
  }
  if (lock_.others_open()) {
    messenger_.Inform(kWarningTitle,
                      Body(kOtherWindowEnglish, kOtherWindowChinese, PathUtf8(book_)));
  }
  if (const Result<FileFacts> facts = InspectFile(book_);
      facts.ok() && !facts.value().folder_writable) {
    messenger_.Inform(kWarningTitle,
                      facts.value().writable_in_place
                          ? Body(kInPlaceEnglish, kInPlaceChinese, PathUtf8(book_))
                          : Body(kUnsavableEnglish, kUnsavableChinese, PathUtf8(book_)));
  }
  if (std::optional<std::u16string> restored =
          OfferRecovery(book.ok() ? std::optional(book.value()) : std::nullopt)) {
    shown = std::move(restored);
  }
  TellAboutKeptFiles();
  return shown;
}

void BookSession::ShownInexactly(std::u16string_view held) {
  if (state_ != BookState::kLoaded) return;
  state_ = BookState::kNotHeldExactly;
  shown_ = Fingerprint::Of(held);
  messenger_.Inform(kWarningTitle, kNotHeldBody);
}

std::vector<BookSession::StaleCopy> BookSession::FindStaleCopies() const {
  std::vector<StaleCopy> stale;
  for (const CompanionPlace& place : places_) {
    std::error_code error;
    for (fs::directory_iterator it(place.folder, error), end; !error && it != end;
         it.increment(error)) {
      const std::string name = PathUtf8(it->path().filename());
      const std::string prefix = place.RecoveryCopyPrefix();
      const std::optional<int> slot = name.starts_with(prefix)
                                          ? SlotOf(std::string_view(name).substr(prefix.size()))
                                          : std::nullopt;
      if (!slot) continue;
      const bool own = &place == lock_place_ && *slot == lock_.slot();
      if (!own && BookLock::IsHeld(place.LockFile(), *slot)) continue;  // a live window's copy
      std::error_code ignored;
      if (!it->is_regular_file(ignored)) continue;
      Result<std::u16string> text = LoadBookFile(it->path());
      const std::optional<fs::file_time_type> time = ModifiedTime(it->path());
      if (!text.ok() || !time) continue;
      stale.push_back({it->path(), &place, *time, std::move(text).value()});
    }
  }
  std::sort(stale.begin(), stale.end(),
            [](const StaleCopy& a, const StaleCopy& b) { return a.time > b.time; });
  return stale;
}

std::optional<std::u16string> BookSession::OfferRecovery(
    const std::optional<std::u16string>& book_text) {
  std::vector<StaleCopy> stale = FindStaleCopies();
  std::erase_if(stale, [&](const StaleCopy& copy) {
    if (!book_text || copy.text != *book_text) return false;
    RemoveFile(copy.path);  // nothing in it that the book does not hold
    return true;
  });
  if (stale.empty()) return std::nullopt;
  std::optional<std::u16string> restored;
  const std::optional<fs::file_time_type> book_time = ModifiedTime(book_);
  const StaleCopy& newest = stale.front();
  if (!book_text || !book_time || newest.time > *book_time) {
    const auto written = ToSystem(newest.time);
    const Answer answer = messenger_.Ask(
        Question{kWarningTitle, Body(kRestoreEnglish, kRestoreChinese, TimeStamp(written)),
                 Answer::kYes, Answer::kNo, false});
    if (answer == Answer::kYes) {
      restored = newest.text;
      adopted_copy_ = newest.path;
      if (const fs::path own = recovery_copy(); !own.empty() && own != newest.path) {
        std::error_code error;
        fs::rename(newest.path, own, error);
        if (!error) adopted_copy_ = own;
      }
    }
  }
  // Every other copy, and the newest when it was not restored, becomes a file kept apart.
  for (const StaleCopy& copy : stale) {
    if (restored && &copy == &newest) continue;
    const auto written = ToSystem(copy.time);
    [[maybe_unused]] Result<fs::path> kept = MoveToFreshName(
        copy.path, copy.place->folder / Utf8Path(copy.place->KeptPrefix() + TimeStamp(written)));
  }
  return restored;
}

void BookSession::TellAboutKeptFiles() {
  std::string list;
  for (const CompanionPlace& place : places_) {
    const std::set<std::string> seen = SeenNames(place);
    std::vector<std::string> fresh;
    std::error_code error;
    for (fs::directory_iterator it(place.folder, error), end; !error && it != end;
         it.increment(error)) {
      const std::string name = PathUtf8(it->path().filename());
      std::error_code ignored;
      if (name.starts_with(place.KeptPrefix()) && !seen.contains(name) &&
          it->is_regular_file(ignored)) {
        fresh.push_back(name);
      }
    }
    std::sort(fresh.begin(), fresh.end());
    for (const std::string& name : fresh) {
      list += kLineBreak + PathUtf8(place.folder / Utf8Path(name));
    }
    if (!fresh.empty()) MarkSeen(place, fresh);
  }
  if (list.empty()) return;
  messenger_.Inform(kInfoTitle,
                    std::string(kKeptFilesEnglish) + kLineBreak + kKeptFilesChinese + list);
}

void BookSession::MarkSeen(const CompanionPlace& place,
                           const std::vector<std::string>& names) const {
  // Names of files that are gone are dropped, so the list does not grow for ever.
  std::string content;
  for (const std::string& name : SeenNames(place)) {
    std::error_code ignored;
    if (fs::exists(place.folder / Utf8Path(name), ignored)) content += name + "\n";
  }
  for (const std::string& name : names) content += name + "\n";
  Result<AtomicWriter> writer = AtomicWriter::Open(
      place.SeenList(), {.read_only = ReadOnlyFile::kReplace, .new_file_mode = 0600});
  // A list that cannot be written only means the user is told again next time.
  if (writer.ok() && writer.value().Write(content).ok()) {
    [[maybe_unused]] Result<SaveReport> committed = writer.value().Commit();
  }
}

unsigned BookSession::PrivateMode() const {
  return book_mode_ ? (*book_mode_ & 0600) | 0400 : 0600;
}

std::string BookSession::TimeStamp(TimePoint time) const {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  if (const std::tm* converted = std::localtime(&seconds)) local = *converted;
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  return stamp;
}

void BookSession::TextChanged() {
  if (closed_) return;
  const TimePoint now = clock_.Now();
  if (!first_unkept_change_) first_unkept_change_ = now;
  last_change_ = now;
}

std::optional<TimePoint> BookSession::RecoveryCopyDue() const {
  if (!last_change_) return std::nullopt;
  const TimePoint in_a_pause =
      std::max<TimePoint>(*first_unkept_change_ + kRecoveryMaxWait, *last_change_ + kRecoveryPause);
  return std::min(
      {*last_change_ + kRecoveryQuiet, in_a_pause, *first_unkept_change_ + kRecoveryHardLimit});
}

void BookSession::KeepRecoveryCopy(std::function<std::u16string()> text) {
  first_unkept_change_.reset();
  last_change_.reset();
  const fs::path copy = recovery_copy();
  if (closed_ || copy.empty()) return;
  writer_->Post({copy, std::move(text), disk_, PrivateMode()});
}

void BookSession::FinishRecoveryCopies() { writer_->Wait(); }

fs::path BookSession::recovery_copy() const {
  if (lock_place_ == nullptr || lock_.slot() < 0) return {};
  return lock_place_->RecoveryCopy(lock_.slot());
}

CloseDecision BookSession::Close(Attendance attendance, std::u16string_view text) {
  FinishRecoveryCopies();
  if (closed_) return CloseDecision::kClose;
  const Result<std::u16string> disk = LoadBookFile(book_);
  if (state_ == BookState::kNotLoaded) {
    // Closed before the book was ever shown: the box holds no copy of it.
    const bool missing = !disk.ok() && disk.error().number == kErrFileNotFound;
    state_ = missing ? BookState::kMissing : BookState::kUnread;
  }
  if (disk.ok() && disk.value() == text) {
    disk_ = Fingerprint::Of(text);
    return Finish();  // nothing to write
  }
  const std::string path = PathUtf8(book_);
  std::optional<Question> question;
  switch (state_) {
    case BookState::kUnread:
    case BookState::kNotHeldExactly:
      if (Fingerprint::Of(text) == shown_) return Finish();
      question = CloseQuestion(state_ == BookState::kUnread
                                   ? Body(kUnreadEnglish, kUnreadChinese, path)
                                   : Body(kNotHeldEnglish, kNotHeldChinese, path));
      break;
    default: {
      const bool exists = disk.ok() || disk.error().number != kErrFileNotFound;
      if (disk_ && !exists) {
        question = CloseQuestion(Body(kDeletedEnglish, kDeletedChinese, path));
      } else if (exists && (!disk_ || !disk.ok() || Fingerprint::Of(disk.value()) != *disk_)) {
        question = CloseQuestion(Body(kChangedEnglish, kChangedChinese, path));
      }
    }
  }
  if (question) {
    if (std::optional<CloseDecision> settled = Settle(attendance, *question, text)) {
      return *settled;
    }
  }
  SaveOptions options{.history = History::kKeep};
  if (const Result<FileFacts> facts = InspectFile(book_); facts.ok() && facts.value().read_only) {
    if (std::optional<CloseDecision> settled = Settle(
            attendance, CloseQuestion(Body(kReadOnlyEnglish, kReadOnlyChinese, path)), text)) {
      return *settled;
    }
    options.read_only = ReadOnlyFile::kReplace;
  }
  const Result<SaveReport> saved = SaveBookFile(book_, text, options);
  if (saved.ok()) {
    state_ = BookState::kLoaded;
    disk_ = Fingerprint::Of(text);
    for (const std::string& warning : saved.value().warnings) {
      if (attendance == Attendance::kAttended) {
        messenger_.Inform(kWarningTitle, warning);
      } else {
        messenger_.Log(warning);
      }
    }
    return Finish();
  }
  std::string reason = saved.error().description;
  if (reason.find(path) == std::string::npos) reason = path + ": " + reason;
  if (attendance == Attendance::kUnattended) {
    messenger_.Log(reason);
    return KeepApart(attendance, text);
  }
  const Answer answer = messenger_.Ask(CloseQuestion(
      reason + kLineBreak + kSaveFailedEnglish + kLineBreak + kSaveFailedChinese, kErrorTitle));
  if (answer == Answer::kYes) return Finish();
  if (answer == Answer::kKeepApart) return KeepApart(attendance, text);
  return CloseDecision::kStayOpen;
}

std::optional<CloseDecision> BookSession::Settle(Attendance attendance, Question question,
                                                 std::u16string_view text) {
  const Answer answer =
      attendance == Attendance::kAttended ? messenger_.Ask(question) : Answer::kKeepApart;
  switch (answer) {
    case Answer::kYes:
      return std::nullopt;
    case Answer::kKeepApart:
      return KeepApart(attendance, text);
    default:
      return CloseDecision::kStayOpen;
  }
}

CloseDecision BookSession::KeepApart(Attendance attendance, std::u16string_view text) {
  const std::string stamp = TimeStamp(clock_.Now());
  std::string reasons;
  for (const CompanionPlace& place : places_) {
    const Result<fs::path> kept =
        WriteFreshFile(place.folder / Utf8Path(place.KeptPrefix() + stamp), text, PrivateMode());
    if (!kept.ok()) {
      reasons += kLineBreak + kept.error().description;
      continue;
    }
    const std::string where = PathUtf8(kept.value());
    if (attendance == Attendance::kAttended) {
      // Told now, so not again at the next start.
      MarkSeen(place, {PathUtf8(kept.value().filename())});
      messenger_.Inform(kInfoTitle, Body(kKeptEnglish, kKeptChinese, where));
    } else {
      messenger_.Log("the text of the window was kept in " + where);
    }
    return Finish();
  }
  if (attendance == Attendance::kAttended) {
    messenger_.Inform(kErrorTitle, Body(kNotKeptEnglish, kNotKeptChinese) + reasons);
  } else {
    messenger_.Log(std::string(kNotKeptEnglish) + reasons);
  }
  return CloseDecision::kStayOpen;
}

CloseDecision BookSession::Finish() {
  closed_ = true;
  if (const fs::path copy = recovery_copy(); !copy.empty()) RemoveFile(copy);
  if (!adopted_copy_.empty()) RemoveFile(adopted_copy_);
  lock_.ReleaseAndTidy();
  return CloseDecision::kClose;
}

}  // namespace tallivan
