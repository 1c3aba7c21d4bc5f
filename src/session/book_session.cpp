#include "session/book_session.h"

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "runtime/visible_text.h"
#include "storage/atomic_writer.h"
#include "storage/book_file.h"
#include "storage/file_io.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;

constexpr char kInfoTitle[] = "Info - 提示";
constexpr char kErrorTitle[] = "Error - 发生错误";
constexpr char kWarningTitle[] = "Warning - 警告";
constexpr char kLineBreak[] = "\r\n";
constexpr char kParagraph[] = "\r\n\r\n";
// The most a file of the session's own bookkeeping holds (a recovery copy's base, the list of
// what was reported).
constexpr uint64_t kSmallFile = uint64_t{1} << 20;

constexpr char kMissingEnglish[] =
    "Book not found. A new book will be created at %1 when this window closes.";
constexpr char kMissingChinese[] = "没找到已存在的账本。关闭本窗口时将在 %1 创建一个新的账本。";
constexpr char kNotHeldBody[] =
    "The book holds text this window cannot show exactly. It will not be overwritten without "
    "asking.\r\n"
    "账本中有本窗口无法原样显示的内容。未经询问不会覆盖它。";
constexpr char kOtherWindowEnglish[] =
    "The book %1 is already open in another Tallivan window. Whichever window closes last will ask "
    "before it overwrites the other's changes.";
constexpr char kOtherWindowChinese[] =
    "账本 %1 已在另一个 Tallivan 窗口中打开。后关闭的窗口在覆盖另一个窗口的修改之前会先询问。";
constexpr char kNoLockEnglish[] =
    "Other Tallivan windows on this book cannot be told about this one, nor this one about "
    "them: %1";
constexpr char kNoLockChinese[] = "无法与打开此账本的其他 Tallivan 窗口互相告知：%1";
constexpr char kNoRecoveryEnglish[] =
    "Crash recovery is off for this window: its copies cannot be kept (%1). Save often.";
constexpr char kNoRecoveryChinese[] =
    "本窗口的崩溃恢复已关闭：无法保存恢复副本（%1）。请经常保存。";
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
    "%1). Restore it into this window, or keep it apart in a file of its own?";
constexpr char kRestoreChinese[] =
    "发现一份未正常关闭的窗口留下的恢复副本（最后写入于 "
    "%1）。要把它恢复到本窗口，还是另存为单独的文件？";
constexpr char kOlderCopiesEnglish[] =
    "%1 older copies of other windows that did not close properly are kept apart either way.";
constexpr char kOlderCopiesChinese[] =
    "另有 %1 份其他未正常关闭的窗口留下的较早副本，无论如何都会另存。";
constexpr char kRestoredEnglish[] = "The newest recovery copy is now in this window.";
constexpr char kRestoredChinese[] = "最新的恢复副本已恢复到本窗口。";
constexpr char kKeptFilesEnglish[] = "Text that could not be saved in the book was kept in:";
constexpr char kKeptFilesChinese[] = "未能保存到账本中的文字保存在：";
constexpr char kGetBackEnglish[] =
    "To get text back, open such a file with: tallivan --book FILE, and copy what you need.";
constexpr char kGetBackChinese[] =
    "要取回文字，请用 tallivan --book 文件 打开它，然后复制所需内容。";
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
constexpr char kSaveFailedEnglish[] = "The book could not be saved.";
constexpr char kSaveFailedChinese[] = "账本未能保存。";
constexpr char kKeepApartEnglish[] =
    "Keep apart and close: the text of this window goes into a file of its own in %1, and the "
    "window closes.";
constexpr char kKeepApartChinese[] =
    "另存并关闭：把本窗口中的文字保存到 %1 中的单独文件，然后关闭。";
constexpr char kKeptEnglish[] = "The text of this window was kept in %1";
constexpr char kKeptChinese[] = "本窗口中的文字已保存在 %1";
constexpr char kNotKeptEnglish[] = "The text of this window could not be kept in a separate file.";
constexpr char kNotKeptChinese[] = "无法把本窗口中的文字另存为单独的文件。";
constexpr char kCopyTroubleEnglish[] =
    "Crash recovery has stopped working: the recovery copy of this window cannot be written "
    "(%1). Until it can, a crash loses what you typed since the last save.";
constexpr char kCopyTroubleChinese[] =
    "崩溃恢复已停止工作：无法写入本窗口的恢复副本（%"
    "1）。在恢复之前，崩溃将丢失上次保存后输入的内容。";
constexpr char kCopySpareEnglish[] =
    "Crash recovery copies cannot be written to %1 (%2). They are kept in %3 for now, which "
    "survives a crash of the window but not a restart of the computer.";
constexpr char kCopySpareChinese[] =
    "崩溃恢复副本无法写入 %1（%2）。暂时保存在 "
    "%3，它能在窗口崩溃后保留，但不能在重启计算机后保留。";
constexpr char kHistoryEnglish[] =
    "The book was saved, but the text it replaced could not be kept in its history: %1. This "
    "window will not say so again.";
constexpr char kHistoryChinese[] =
    "账本已保存，但被替换的文字未能保存到它的历史中：%1。本窗口不会再次提示。";

// Button labels; an ampersand marks the key that answers with the button.
constexpr char kOverwriteLabel[] = "&Overwrite - 覆盖";
constexpr char kCreateLabel[] = "&Create it - 创建";
constexpr char kDontCloseLabel[] = "&Don't close - 不关闭";
constexpr char kKeepApartLabel[] = "&Keep apart and close - 另存并关闭";
constexpr char kDiscardLabel[] = "Close &without saving - 不保存就关闭";
constexpr char kDontSaveLabel[] = "Do&n't save - 不保存";
constexpr char kRestoreLabel[] = "&Restore - 恢复";
constexpr char kKeepCopyApartLabel[] = "&Keep it apart - 另存";

// `english` and `chinese`, with `fills` in place of "%1", "%2"..., as the two lines of a body.
std::string Body(std::string english, std::string chinese,
                 std::initializer_list<std::string> fills = {}) {
  for (std::string* line : {&english, &chinese}) {
    int number = 1;
    for (const std::string& fill : fills) {
      const std::string mark = "%" + std::to_string(number++);
      if (const size_t at = line->find(mark); at != std::string::npos) {
        line->replace(at, mark.size(), fill);
      }
    }
  }
  return english + kLineBreak + chinese;
}

std::string Body(std::string english, std::string chinese, const std::string& fill) {
  return Body(std::move(english), std::move(chinese), {fill});
}

// A path as a message shows it: whatever is in its name, it cannot change how the message reads.
std::string Shown(const fs::path& path) { return VisibleText(PathUtf8(path)); }

// `time` as the user reads it: local date and time.
std::string LocalTime(TimePoint time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  if (const std::tm* converted = std::localtime(&seconds)) local = *converted;
  char shown[32];
  std::strftime(shown, sizeof shown, "%Y-%m-%d %H:%M:%S", &local);
  return shown;
}

// `time` as names of kept files carry it, so that they sort by it.
std::string NameStamp(TimePoint time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  if (const std::tm* converted = std::localtime(&seconds)) local = *converted;
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  return stamp;
}

TimePoint FromNanoseconds(int64_t ns) {
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(std::chrono::nanoseconds(ns)));
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

std::u16string TextOf(const std::string& bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return text;
}

// What a recovery copy's base file holds: the fingerprint of what the book held, or "none".
std::string BaseLine(const std::optional<Fingerprint>& disk) {
  if (!disk) return "none\n";
  return std::to_string(disk->length) + " " + std::to_string(disk->hash) + "\n";
}

// The base a recovery copy's base file `line` gives; nullopt for "none" and for anything unknown.
std::optional<Fingerprint> ParseBase(const std::string& line) {
  Fingerprint fingerprint;
  size_t used = 0;
  try {
    fingerprint.length = std::stoull(line, &used);
    fingerprint.hash = std::stoull(line.substr(used));
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return fingerprint;
}

}  // namespace

Fingerprint Fingerprint::Of(std::u16string_view text) {
  uint64_t hash = 0xCBF29CE484222325ULL;
  for (const char16_t unit : text) {
    hash = (hash ^ (unit & 0xFF)) * 0x100000001B3ULL;
    hash = (hash ^ (unit >> 8)) * 0x100000001B3ULL;
  }
  return {text.size(), hash};
}

// Writes recovery copies on a thread of its own, so that a large book's copy never holds up the
// window; a copy asked for while one is being written replaces any that waits. A copy goes to the
// user's state folder, or, when that has no room or cannot be written, to the spare folder in
// memory; either way, beside a base file that tells what the book held.
class BookSession::RecoveryWriter {
 public:
  struct Job {
    int slot = -1;
    std::function<std::u16string()> text;
    std::optional<Fingerprint> disk;
    unsigned mode = 0600;
  };

  // Why copies cannot go where they belong, and where they went instead (empty: nowhere).
  struct Trouble {
    std::string reason;
    std::string spare;
  };

  explicit RecoveryWriter(SessionFiles& files) : files_(files) {}

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

  // Waits for the copies under way; whether the last one went where it belongs.
  bool Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !pending_ && !busy_; });
    return !trouble_;
  }

  void OnTrouble(std::function<void()> wake) {
    std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
  }

  // The trouble not yet told, once per spell of trouble.
  std::optional<Trouble> TakeTrouble() {
    std::lock_guard lock(mutex_);
    if (!trouble_ || told_) return std::nullopt;
    told_ = true;
    return trouble_;
  }

  // Removes the copy of `slot` and its base wherever they are.
  void Remove(int slot) {
    for (const SafeFolder* folder : Folders()) {
      folder->Remove(SessionFiles::RecoveryName(slot));
      folder->Remove(SessionFiles::RecoveryBaseName(slot));
    }
  }

 private:
  std::vector<const SafeFolder*> Folders() {
    std::vector<const SafeFolder*> folders;
    if (files_.state()) folders.push_back(&*files_.state());
    if (const SafeFolder* spare = files_.spare(MakeFolder::kNo)) folders.push_back(spare);
    return folders;
  }

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stop_ || pending_; });
      if (!pending_) return;
      Job job = std::move(*pending_);
      pending_.reset();
      busy_ = true;
      lock.unlock();
      std::optional<Trouble> trouble = Write(job);
      std::function<void()> wake;
      lock.lock();
      if (!trouble) {
        trouble_.reset();
        told_ = false;
      } else {
        if (!trouble_ || trouble_->spare != trouble->spare) told_ = false;
        trouble_ = std::move(trouble);
        if (!told_) wake = wake_;
      }
      busy_ = false;
      changed_.notify_all();
      if (wake) {
        lock.unlock();
        wake();
        lock.lock();
      }
    }
  }

  std::optional<Trouble> Write(const Job& job) {
    const std::u16string text = job.text();
    if (job.disk && Fingerprint::Of(text) == *job.disk) {
      Remove(job.slot);
      return std::nullopt;
    }
    const std::vector<char> bytes = LittleEndianBytes(text);
    const std::string base = BaseLine(job.disk);
    const std::string name = SessionFiles::RecoveryName(job.slot);
    const std::string base_name = SessionFiles::RecoveryBaseName(job.slot);
    Trouble trouble{files_.trouble(), {}};
    if (const std::optional<SafeFolder>& state = files_.state()) {
      const Status base_written =
          base == state_base_ ? Status() : state->Replace(base_name, base, job.mode);
      const Status written = base_written ? state->Replace(name, bytes, job.mode) : base_written;
      if (written) {
        state_base_ = base;
        if (const SafeFolder* spare = spare_used_ ? files_.spare(MakeFolder::kNo) : nullptr) {
          spare->Remove(name);
          spare->Remove(base_name);
        }
        spare_used_ = false;
        return std::nullopt;
      }
      state_base_.clear();
      trouble.reason = written.error().description;
    }
    if (const SafeFolder* spare = files_.spare(MakeFolder::kPrivate)) {
      if (spare->Replace(base_name, base, job.mode) && spare->Replace(name, bytes, job.mode)) {
        spare_used_ = true;
        trouble.spare = PathUtf8(spare->path());
      }
    }
    return trouble;
  }

  SessionFiles& files_;
  std::string state_base_;  // what the base file in the state folder holds, if known
  bool spare_used_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Job> pending_;
  bool busy_ = false;
  bool stop_ = false;
  std::optional<Trouble> trouble_;
  bool told_ = false;
  std::function<void()> wake_;
  std::thread thread_;
};

struct BookSession::StaleCopy {
  const SafeFolder* folder;
  std::string name;
  int slot;
  TimePoint time;
  std::u16string text;
  std::optional<Fingerprint> base;
};

// A text kept apart: the folder it is in (the book's, or the state folder) and its name.
struct BookSession::KeptFile {
  const SafeFolder* folder;
  std::string name;

  // How the list of reported files names it.
  std::string Entry(const SessionFiles& files) const {
    return (files.state() && folder == &*files.state() ? "state " : "book ") + name;
  }
};

BookSession::BookSession(fs::path book, std::u16string initial_text, Messenger& messenger,
                         const Clock& clock)
    : book_(std::move(book)),
      messenger_(messenger),
      clock_(clock),
      files_(book_),
      shown_(Fingerprint::Of(initial_text)),
      writer_(std::make_unique<RecoveryWriter>(files_)) {}

BookSession::~BookSession() = default;

std::optional<std::u16string> BookSession::Open() {
  if (state_ != BookState::kNotLoaded || closed_) return std::nullopt;
  std::error_code error;
  const fs::file_status status = fs::status(book_, error);
  if (!error && fs::exists(status)) book_mode_ = static_cast<unsigned>(status.permissions()) & 0777;
  const unsigned lock_mode = book_mode_ ? (*book_mode_ & 0666) | 0600 : 0600;
  std::string lock_trouble;
  if (files_.book_folder()) {
    shared_lock_ = BookLock::Take(*files_.book_folder(), files_.SharedLockName(), lock_mode);
    lock_trouble = shared_lock_.trouble();
  }
  if (files_.state()) own_lock_ = BookLock::Take(*files_.state(), SessionFiles::kOwnLockName, 0600);
  const std::string path = Shown(book_);

  // What needs attention goes into one message; the questions follow it.
  const char* title = kInfoTitle;
  std::vector<std::string> notices;
  const auto notice = [&](const char* kind, std::string body) {
    if (kind == kErrorTitle || (kind == kWarningTitle && title == kInfoTitle)) title = kind;
    notices.push_back(std::move(body));
  };
  const Result<std::u16string> book = LoadBookFile(book_);
  std::optional<std::u16string> shown;
  if (book.ok()) {
    state_ = BookState::kLoaded;
    disk_ = Fingerprint::Of(book.value());
    loaded_ = disk_;
    shown = book.value();
  } else if (book.error().number == ErrorNumber::kFileNotFound) {
    state_ = BookState::kMissing;
    notice(kInfoTitle, Body(kMissingEnglish, kMissingChinese, path));
  } else {
    state_ = BookState::kUnread;
    notice(kErrorTitle, VisibleText(book.error().description));
  }
  if (shared_lock_.others_open() || own_lock_.others_open()) {
    notice(kWarningTitle, Body(kOtherWindowEnglish, kOtherWindowChinese, path));
  } else if (!lock_trouble.empty()) {
    notice(kWarningTitle, Body(kNoLockEnglish, kNoLockChinese, VisibleText(lock_trouble)));
  }
  if (const Result<FileFacts> facts = InspectFile(book_);
      facts.ok() && !facts.value().folder_writable) {
    notice(kWarningTitle, facts.value().writable_in_place
                              ? Body(kInPlaceEnglish, kInPlaceChinese, path)
                              : Body(kUnsavableEnglish, kUnsavableChinese, path));
  }
  if (own_lock_.slot() < 0) {
    const std::string why = files_.state() ? own_lock_.trouble() : files_.trouble();
    notice(kWarningTitle, Body(kNoRecoveryEnglish, kNoRecoveryChinese, VisibleText(why)));
  }
  const std::vector<KeptFile> kept = UnreportedKeptFiles();
  if (!kept.empty()) {
    std::string list = std::string(kKeptFilesEnglish) + kLineBreak + kKeptFilesChinese;
    for (const KeptFile& file : kept) list += kLineBreak + KeptPath(file);
    notice(kInfoTitle, list + kLineBreak + kGetBackEnglish + kLineBreak + kGetBackChinese);
  }
  if (!notices.empty()) {
    std::string body;
    for (const std::string& part : notices) body += (body.empty() ? "" : kParagraph) + part;
    if (messenger_.Inform(title, body) == Delivery::kSeen) MarkReported(kept);
  } else {
    MarkReported({});  // forgets the files that are gone
  }
  if (std::optional<std::u16string> restored =
          OfferRecovery(book.ok() ? std::optional(book.value()) : std::nullopt)) {
    shown = std::move(restored);
  }
  return shown;
}

void BookSession::ShownInexactly(std::u16string_view held) {
  if (state_ != BookState::kLoaded) return;
  state_ = BookState::kNotHeldExactly;
  shown_ = Fingerprint::Of(held);
  loaded_.reset();
  messenger_.Inform(kWarningTitle, kNotHeldBody);
}

std::vector<BookSession::StaleCopy> BookSession::FindStaleCopies() {
  std::vector<StaleCopy> stale;
  // Without a slot of its own, a window cannot tell a live window's copy from a dead one's.
  if (own_lock_.slot() < 0) return stale;
  std::vector<const SafeFolder*> folders;
  if (files_.state()) folders.push_back(&*files_.state());
  if (const SafeFolder* spare = files_.spare(MakeFolder::kNo)) folders.push_back(spare);
  for (const SafeFolder* folder : folders) {
    for (const OwnFile& file : folder->List("recovery-")) {
      const std::optional<int> slot = SessionFiles::RecoverySlot(file.name);
      if (!slot || (*slot != own_lock_.slot() && own_lock_.IsHeld(*slot))) continue;
      Result<std::string> bytes = folder->Read(file.name);
      if (!bytes || bytes.value().size() % 2 != 0) continue;
      Result<std::string> base = folder->Read(SessionFiles::RecoveryBaseName(*slot), kSmallFile);
      stale.push_back({folder, file.name, *slot, FromNanoseconds(file.modified_ns),
                       TextOf(bytes.value()), base ? ParseBase(base.value()) : std::nullopt});
    }
  }
  std::stable_sort(stale.begin(), stale.end(),
                   [](const StaleCopy& a, const StaleCopy& b) { return a.time > b.time; });
  return stale;
}

std::optional<std::u16string> BookSession::OfferRecovery(
    const std::optional<std::u16string>& book_text) {
  std::vector<StaleCopy> stale = FindStaleCopies();
  std::erase_if(stale, [&](const StaleCopy& copy) {
    if (!book_text || copy.text != *book_text) return false;
    // Nothing in it that the book does not hold.
    copy.folder->Remove(copy.name);
    copy.folder->Remove(SessionFiles::RecoveryBaseName(copy.slot));
    return true;
  });
  if (stale.empty()) return std::nullopt;
  std::optional<std::u16string> restored;
  const std::optional<fs::file_time_type> book_time = ModifiedTime(book_);
  const StaleCopy& newest = stale.front();
  // A copy as new as the book may hold what the book does not: it is offered too.
  if (!book_text || !book_time || newest.time >= ToSystem(*book_time)) {
    std::string body = Body(kRestoreEnglish, kRestoreChinese, LocalTime(newest.time));
    if (stale.size() > 1) {
      body += kLineBreak +
              Body(kOlderCopiesEnglish, kOlderCopiesChinese, std::to_string(stale.size() - 1));
    }
    const Answer answer =
        messenger_.Ask(Question{kWarningTitle,
                                body,
                                {{Answer::kYes, kRestoreLabel}, {Answer::kNo, kKeepCopyApartLabel}},
                                Answer::kNo});
    if (answer == Answer::kYes) {
      restored = newest.text;
      loaded_.reset();
      // Closing asks first if the book changed since the copy's window last read or wrote it.
      disk_ = newest.base;
    }
  }
  // Every other copy, and the newest when it was not restored, becomes a text kept apart: where
  // texts are kept apart, or else beside the copies themselves, which a rename within the folder
  // always reaches. None may stay under a slot's name, which the window that takes the slot
  // next writes its own copy over.
  std::vector<KeptFile> moved;
  std::vector<const SafeFolder*> kept_folders;
  if (const SafeFolder* folder = files_.kept_folder()) kept_folders.push_back(folder);
  for (const StaleCopy& copy : stale) {
    if (restored && &copy == &newest) continue;
    const std::string wanted = files_.KeptPrefix() + NameStamp(copy.time);
    std::optional<KeptFile> kept;
    for (const SafeFolder* folder :
         {kept_folders.empty() ? copy.folder : kept_folders[0], copy.folder}) {
      Result<std::string> name = copy.folder->MoveFresh(copy.name, *folder, wanted);
      if (!name && folder != copy.folder) {
        // From the spare folder in memory to a disk: a move is a copy there.
        name = folder->CreateFresh(wanted, LittleEndianBytes(copy.text), PrivateMode());
        if (name) copy.folder->Remove(copy.name);
      }
      if (name) {
        kept = KeptFile{folder, name.value()};
        break;
      }
    }
    if (!kept) continue;  // offered again next time
    copy.folder->Remove(SessionFiles::RecoveryBaseName(copy.slot));
    moved.push_back(*kept);
  }
  if (restored) {
    // The restored text becomes this window's own copy at once, so that the one it came from can
    // go without a moment in which a crash would find neither.
    adopted_folder_ = newest.folder;
    adopted_name_ = newest.name;
    if (newest.slot != own_lock_.slot() || newest.folder != &*files_.state()) {
      if (KeepCopyNow(*restored)) {
        newest.folder->Remove(newest.name);
        newest.folder->Remove(SessionFiles::RecoveryBaseName(newest.slot));
        adopted_folder_ = nullptr;
      }
    } else {
      adopted_folder_ = nullptr;  // already this window's own copy
    }
  }
  if (!moved.empty()) {
    std::string body;
    if (restored) body = Body(kRestoredEnglish, kRestoredChinese) + kParagraph;
    body += std::string(kKeptFilesEnglish) + kLineBreak + kKeptFilesChinese;
    for (const KeptFile& file : moved) body += kLineBreak + KeptPath(file);
    body += kLineBreak + std::string(kGetBackEnglish) + kLineBreak + kGetBackChinese;
    if (messenger_.Inform(kInfoTitle, body) == Delivery::kSeen) MarkReported(moved);
  }
  return restored;
}

std::vector<BookSession::KeptFile> BookSession::UnreportedKeptFiles() const {
  std::set<std::string> reported;
  if (files_.state()) {
    if (Result<std::string> list = files_.state()->Read(SessionFiles::kReportedName, kSmallFile)) {
      std::string_view rest = list.value();
      for (size_t end; (end = rest.find('\n')) != std::string_view::npos;
           rest.remove_prefix(end + 1)) {
        reported.emplace(rest.substr(0, end));
      }
    }
  }
  std::vector<KeptFile> files;
  std::vector<const SafeFolder*> folders;
  if (files_.book_folder() && files_.book_folder()->is_private()) {
    folders.push_back(&*files_.book_folder());
  }
  if (files_.state()) folders.push_back(&*files_.state());
  for (const SafeFolder* folder : folders) {
    for (const OwnFile& file : folder->List(files_.KeptPrefix())) {
      const KeptFile kept{folder, file.name};
      if (files_.IsKeptName(file.name) && !reported.contains(kept.Entry(files_))) {
        files.push_back(kept);
      }
    }
  }
  std::sort(files.begin(), files.end(),
            [](const KeptFile& a, const KeptFile& b) { return a.name < b.name; });
  return files;
}

void BookSession::MarkReported(const std::vector<KeptFile>& files) const {
  if (!files_.state()) return;
  // Only files still there stay on the list, so that it does not grow for ever and a name that
  // comes back (an hour repeated when summer time ends) is reported again.
  std::set<std::string> entries;
  for (const KeptFile& file : UnreportedKeptFiles()) entries.insert(file.Entry(files_));
  std::set<std::string> present;
  std::vector<const SafeFolder*> folders;
  if (files_.book_folder() && files_.book_folder()->is_private()) {
    folders.push_back(&*files_.book_folder());
  }
  folders.push_back(&*files_.state());
  for (const SafeFolder* folder : folders) {
    for (const OwnFile& file : folder->List(files_.KeptPrefix())) {
      present.insert(KeptFile{folder, file.name}.Entry(files_));
    }
  }
  std::string content;
  for (const std::string& entry : present) {
    const bool told = !entries.contains(entry) ||
                      std::any_of(files.begin(), files.end(), [&](const KeptFile& file) {
                        return file.Entry(files_) == entry;
                      });
    if (told) content += entry + "\n";
  }
  const Result<std::string> before = files_.state()->Read(SessionFiles::kReportedName, kSmallFile);
  if (before ? before.value() == content : content.empty()) return;
  // A list that cannot be written only means the user is told again next time.
  static_cast<void>(files_.state()->Replace(SessionFiles::kReportedName, content, 0600));
}

std::string BookSession::KeptPath(const KeptFile& file) const {
  return Shown(file.folder->path() / Utf8Path(file.name));
}

unsigned BookSession::PrivateMode() const {
  return book_mode_ ? (*book_mode_ & 0600) | 0400 : 0600;
}

bool BookSession::KeepCopyNow(std::u16string_view text) {
  if (closed_ || own_lock_.slot() < 0) return false;
  writer_->Post(
      {own_lock_.slot(), [text = std::u16string(text)] { return text; }, disk_, PrivateMode()});
  first_unkept_change_.reset();
  last_change_.reset();
  return writer_->Wait();
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
  if (closed_ || own_lock_.slot() < 0) return;
  writer_->Post({own_lock_.slot(), std::move(text), disk_, PrivateMode()});
}

void BookSession::FinishRecoveryCopies() { writer_->Wait(); }

fs::path BookSession::recovery_copy() const {
  if (!files_.state() || own_lock_.slot() < 0) return {};
  return files_.state()->path() / SessionFiles::RecoveryName(own_lock_.slot());
}

void BookSession::OnRecoveryTrouble(std::function<void()> wake) {
  writer_->OnTrouble(std::move(wake));
}

void BookSession::TellRecoveryTrouble() {
  const std::optional<RecoveryWriter::Trouble> trouble = writer_->TakeTrouble();
  if (!trouble || closed_) return;
  const std::string where =
      files_.state() ? Shown(files_.state()->path()) : std::string("the state folder");
  if (trouble->spare.empty()) {
    messenger_.Inform(kWarningTitle,
                      Body(kCopyTroubleEnglish, kCopyTroubleChinese, VisibleText(trouble->reason)));
  } else {
    messenger_.Inform(kWarningTitle,
                      Body(kCopySpareEnglish, kCopySpareChinese,
                           {where, VisibleText(trouble->reason), VisibleText(trouble->spare)}));
  }
}

CloseDecision BookSession::Close(Attendance attendance, std::u16string_view text) {
  FinishRecoveryCopies();
  if (closed_) return CloseDecision::kClose;
  if (std::optional<CloseDecision> settled = Store(attendance, text, Ending::kClose)) {
    return *settled;
  }
  return Finish();
}

SaveOutcome BookSession::Save(std::u16string_view text) {
  FinishRecoveryCopies();
  if (closed_ || Store(Attendance::kAttended, text, Ending::kStayOpen)) {
    return SaveOutcome::kNotSaved;
  }
  // The book now holds what the box holds: nothing typed is left to recover.
  if (own_lock_.slot() >= 0) writer_->Remove(own_lock_.slot());
  if (adopted_folder_ != nullptr) {
    adopted_folder_->Remove(adopted_name_);
    adopted_folder_ = nullptr;
  }
  first_unkept_change_.reset();
  last_change_.reset();
  return SaveOutcome::kSaved;
}

std::optional<CloseDecision> BookSession::Store(Attendance attendance, std::u16string_view text,
                                                Ending ending) {
  const Result<std::u16string> disk = LoadBookFile(book_);
  if (state_ == BookState::kNotLoaded) {
    // Closed before the book was ever shown: the box holds no copy of it.
    const bool missing = !disk.ok() && disk.error().number == ErrorNumber::kFileNotFound;
    state_ = missing ? BookState::kMissing : BookState::kUnread;
  }
  const Fingerprint now = Fingerprint::Of(text);
  if (disk.ok() && disk.value() == text) {
    disk_ = now;
    loaded_ = now;
    return std::nullopt;  // nothing to write
  }
  const bool exists = disk.ok() || disk.error().number != ErrorNumber::kFileNotFound;
  // Nothing typed, nothing to save: whatever became of the book meanwhile is left as it is.
  if (loaded_ && now == *loaded_) return std::nullopt;
  if (state_ == BookState::kMissing && now == shown_ && exists) return std::nullopt;
  const std::string path = Shown(book_);
  std::optional<Question> question;
  switch (state_) {
    case BookState::kUnread:
    case BookState::kNotHeldExactly:
      if (now == shown_) return std::nullopt;
      question =
          WriteQuestion(state_ == BookState::kUnread ? Body(kUnreadEnglish, kUnreadChinese, path)
                                                     : Body(kNotHeldEnglish, kNotHeldChinese, path),
                        ending);
      break;
    default:
      if (disk_ && !exists) {
        question =
            WriteQuestion(Body(kDeletedEnglish, kDeletedChinese, path), ending, kCreateLabel);
      } else if (exists && (!disk_ || !disk.ok() || Fingerprint::Of(disk.value()) != *disk_)) {
        question = WriteQuestion(Body(kChangedEnglish, kChangedChinese, path), ending);
      }
  }
  if (question) {
    if (std::optional<CloseDecision> settled = Settle(attendance, *question, text)) {
      return settled;
    }
  }
  SaveOptions options{.history = History::kKeep};
  if (const Result<FileFacts> facts = InspectFile(book_); facts.ok() && facts.value().read_only) {
    if (std::optional<CloseDecision> settled =
            Settle(attendance,
                   WriteQuestion(Body(kReadOnlyEnglish, kReadOnlyChinese, path), ending), text)) {
      return settled;
    }
    options.read_only = ReadOnlyFile::kReplace;
  }
  const Result<SaveReport> saved = SaveBookFile(book_, text, options);
  if (saved.ok()) {
    state_ = BookState::kLoaded;
    disk_ = now;
    loaded_ = now;
    TellSaveWarnings(attendance, saved.value());
    return std::nullopt;
  }
  std::string reason = VisibleText(saved.error().description);
  if (reason.find(path) == std::string::npos) reason = path + ": " + reason;
  if (attendance == Attendance::kUnattended) {
    messenger_.Log(reason);
    return KeepApart(attendance, text);
  }
  KeepCopyNow(text);
  if (ending == Ending::kStayOpen) {
    messenger_.Inform(kErrorTitle,
                      reason + kLineBreak + kSaveFailedEnglish + kLineBreak + kSaveFailedChinese);
    return CloseDecision::kStayOpen;
  }
  const Answer answer = messenger_.Ask(
      Question{kErrorTitle,
               reason + kLineBreak + kSaveFailedEnglish + kLineBreak + kSaveFailedChinese +
                   kParagraph + Body(kKeepApartEnglish, kKeepApartChinese, KeptWhere()),
               {{Answer::kKeepApart, kKeepApartLabel},
                {Answer::kNo, kDontCloseLabel},
                {Answer::kYes, kDiscardLabel}},
               Answer::kKeepApart});
  if (answer == Answer::kYes) return std::nullopt;
  if (answer == Answer::kKeepApart) return KeepApart(attendance, text);
  return CloseDecision::kStayOpen;
}

void BookSession::TellSaveWarnings(Attendance attendance, const SaveReport& report) {
  std::vector<std::string> warnings;
  for (const std::string& warning : report.warnings) {
    if (!report.history_not_kept || warning.find(*report.history_not_kept) == std::string::npos) {
      warnings.push_back(VisibleText(warning));
    }
  }
  // A history that cannot be kept stays so: it is told once a window, in both languages.
  if (report.history_not_kept && !history_warned_) {
    history_warned_ = true;
    warnings.push_back(
        Body(kHistoryEnglish, kHistoryChinese, VisibleText(*report.history_not_kept)));
  }
  for (const std::string& warning : warnings) {
    if (attendance == Attendance::kAttended) {
      messenger_.Inform(kWarningTitle, warning);
    } else {
      messenger_.Log(warning);
    }
  }
}

Question BookSession::WriteQuestion(std::string body, Ending ending, const char* yes_label) const {
  if (yes_label == nullptr) yes_label = kOverwriteLabel;
  if (ending == Ending::kStayOpen) {
    return Question{kWarningTitle,
                    std::move(body),
                    {{Answer::kYes, yes_label}, {Answer::kNo, kDontSaveLabel}},
                    Answer::kNo};
  }
  return Question{
      kWarningTitle,
      std::move(body) + kParagraph + Body(kKeepApartEnglish, kKeepApartChinese, KeptWhere()),
      {{Answer::kYes, yes_label},
       {Answer::kKeepApart, kKeepApartLabel},
       {Answer::kNo, kDontCloseLabel}},
      Answer::kNo};
}

std::string BookSession::KeptWhere() const {
  const SafeFolder* folder = files_.kept_folder();
  return folder != nullptr ? Shown(folder->path()) : Shown(book_.parent_path());
}

std::optional<CloseDecision> BookSession::Settle(Attendance attendance, Question question,
                                                 std::u16string_view text) {
  if (attendance == Attendance::kUnattended) return KeepApart(attendance, text);
  // Whatever the answer, and whatever ends the window while the question waits, the text is in
  // this window's recovery copy.
  KeepCopyNow(text);
  switch (messenger_.Ask(question)) {
    case Answer::kYes:
      return std::nullopt;
    case Answer::kKeepApart:
      return KeepApart(attendance, text);
    default:
      return CloseDecision::kStayOpen;
  }
}

CloseDecision BookSession::KeepApart(Attendance attendance, std::u16string_view text) {
  const std::string wanted = files_.KeptPrefix() + NameStamp(clock_.Now());
  const std::vector<char> bytes = LittleEndianBytes(text);
  std::string reasons;
  std::vector<const SafeFolder*> folders;
  if (const SafeFolder* folder = files_.kept_folder()) folders.push_back(folder);
  if (files_.state() && folders.size() == 1 && folders[0] != &*files_.state()) {
    folders.push_back(&*files_.state());
  }
  if (folders.empty()) {
    reasons = kLineBreak + Shown(book_.parent_path()) +
              (files_.book_folder() ? ": others may write it" : ": it cannot be opened") +
              kLineBreak + "the state folder: " + VisibleText(files_.trouble());
  }
  for (const SafeFolder* folder : folders) {
    const Result<std::string> kept = folder->CreateFresh(wanted, bytes, PrivateMode());
    if (!kept.ok()) {
      reasons += kLineBreak + VisibleText(kept.error().description);
      continue;
    }
    const KeptFile file{folder, kept.value()};
    if (attendance == Attendance::kAttended) {
      // Told now, so not again at the next start; unless the message never reached anyone.
      if (messenger_.Inform(kInfoTitle, Body(kKeptEnglish, kKeptChinese, KeptPath(file)) +
                                            kLineBreak + kGetBackEnglish + kLineBreak +
                                            kGetBackChinese) == Delivery::kSeen) {
        MarkReported({file});
      }
    } else {
      messenger_.Log("the text of the window was kept in " + KeptPath(file));
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
  writer_->Wait();
  if (own_lock_.slot() >= 0) writer_->Remove(own_lock_.slot());
  if (adopted_folder_ != nullptr) {
    adopted_folder_->Remove(adopted_name_);
    adopted_folder_ = nullptr;
  }
  if (files_.state()) own_lock_.ReleaseAndTidy(*files_.state());
  if (files_.book_folder()) shared_lock_.ReleaseAndTidy(*files_.book_folder());
  files_.Tidy();
  return CloseDecision::kClose;
}

}  // namespace tallivan
