#include "ui/termination_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>

namespace tallivan {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};

volatile sig_atomic_t write_fd = -1;

extern "C" void OnSignal(int signal_number) {
  const int saved_errno = errno;
  const auto byte = static_cast<unsigned char>(signal_number);
  if (write_fd >= 0) {
    [[maybe_unused]] ssize_t written = write(write_fd, &byte, 1);
  }
  errno = saved_errno;
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("tallivan: cannot watch for termination signals");
    return;
  }
  read_fd_ = fds[0];
  write_fd = fds[1];
  notifier_ = new QSocketNotifier(read_fd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::Drain);
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &action, &previous_[i]);
}

TerminationSignals::~TerminationSignals() {
  if (read_fd_ < 0) return;
  for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &previous_[i], nullptr);
  const int fd = write_fd;
  write_fd = -1;
  close(fd);
  close(read_fd_);
}

void TerminationSignals::Drain() {
  unsigned char bytes[64];
  for (;;) {
    const ssize_t got = read(read_fd_, bytes, sizeof bytes);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    for (ssize_t i = 0; i < got; ++i) emit Received(bytes[i]);
  }
}

}  // namespace tallivan
