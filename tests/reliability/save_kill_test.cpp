// A process that saves a large book over and over is killed with SIGKILL at random moments.
// Whenever it dies, the book must hold exactly the text of the last save that finished or of the
// one under way, never a mix, a part or nothing; and the temporary files of killed saves must not
// get in the way of the next load or save.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "storage/book.h"

namespace tallivan {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kKills = 200;
constexpr size_t kUnits = 128 * 1024;  // 256 KiB, some thousands of lines

// Two texts that differ at every code unit and in length, so that any mix of them shows.
std::u16string Content(int which) {
  const size_t units = which == 0 ? kUnits : kUnits + kUnits / 3;
  std::u16string text(units, u'\0');
  for (size_t i = 0; i < units; ++i) {
    text[i] = static_cast<char16_t>(which == 0 ? u'A' + i % 26 : 0x4E00 + i % 4000);
  }
  return text;
}

// Forks a child that saves texts[first], texts[1 - first], ... over `book` until it is killed,
// writing one byte to `report` before it starts and one after every save that finished.
pid_t StartSaver(const fs::path& book, const std::u16string (&texts)[2], int first, int report) {
  const pid_t child = fork();
  if (child != 0) return child;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const char ready = 'r';
  if (write(report, &ready, 1) != 1) _exit(2);
  for (int which = first, n = 0; n < 100'000; which = 1 - which, ++n) {
    if (!SaveBookFile(book, texts[which]).ok()) _exit(3);
    const char saved = 's';
    if (write(report, &saved, 1) != 1) _exit(2);
  }
  _exit(4);
}

int Which(const std::u16string (&texts)[2], const std::u16string& text) {
  return text == texts[0] ? 0 : text == texts[1] ? 1 : -1;
}

TEST(SaveKillTest, KilledSavesLeaveTheLastOrTheNextBookWhole) {
  const std::u16string texts[2] = {Content(0), Content(1)};
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const fs::path folder = dir.path().toStdString();
  const fs::path book = folder / "book";

  // Kills are spread over about two saves' time after the child is ready. A kill that lands in
  // a flush takes effect when the flush ends, so each round lasts a little longer than that.
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(SaveBookFile(book, texts[i % 2]).ok());
  const auto window =
      std::max<Clock::duration>((Clock::now() - start) / 2, std::chrono::milliseconds(1));
  int current = 1;

  std::mt19937 random(20240607);
  std::uniform_int_distribution<int64_t> moment(0, window.count());
  int finished_saves = 0;
  int killed_before_any_save = 0;
  for (int kill_number = 0; kill_number < kKills; ++kill_number) {
    SCOPED_TRACE("kill " + std::to_string(kill_number));
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = StartSaver(book, texts, 1 - current, report[1]);
    ASSERT_GT(child, 0);
    close(report[1]);
    char byte = 0;
    ASSERT_EQ(read(report[0], &byte, 1), 1);
    std::this_thread::sleep_for(Clock::duration(moment(random)));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saver stopped by itself with " << WEXITSTATUS(status);
    int saves = 0;
    while (read(report[0], &byte, 1) == 1) ++saves;
    close(report[0]);
    finished_saves += saves;
    killed_before_any_save += saves == 0 ? 1 : 0;

    const Result<std::u16string> loaded = LoadBookFile(book);
    ASSERT_TRUE(loaded.ok()) << loaded.error().description;
    const int found = Which(texts, loaded.value());
    ASSERT_NE(found, -1) << "the book is neither text whole: " << loaded.value().size()
                         << " code units";
    const int last_finished = (current + saves) % 2;
    EXPECT_TRUE(found == last_finished || found == 1 - last_finished)
        << "after " << saves << " saves the book holds text " << found;
    current = found;
  }
  // Otherwise every kill came too early and nothing was tested.
  EXPECT_GT(finished_saves, 0);

  size_t leftovers = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    leftovers += entry.path().filename() != "book" ? 1 : 0;
  }
  ASSERT_TRUE(SaveBookFile(book, u"after the kills").ok());
  const Result<std::u16string> loaded = LoadBookFile(book);
  ASSERT_TRUE(loaded.ok()) << loaded.error().description;
  EXPECT_EQ(loaded.value(), u"after the kills");
  RecordProperty("finished_saves", finished_saves);
  RecordProperty("kills_before_any_save", killed_before_any_save);
  RecordProperty("leftover_temporary_files", static_cast<int>(leftovers));
  std::printf("%d kills: %d saves finished, %d kills before the first save, %zu leftovers\n",
              kKills, finished_saves, killed_before_any_save, leftovers);
}

}  // namespace
}  // namespace tallivan
