#include "ui/termination_signals.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <csignal>

namespace tallivan {
namespace {

TEST(TerminationSignalsTest, DeliversEachSignalThroughTheEventLoop) {
  TerminationSignals signals_watched;
  QSignalSpy spy(&signals_watched, &TerminationSignals::Received);
  for (const int signal_number : {SIGTERM, SIGHUP, SIGINT}) {
    ASSERT_EQ(raise(signal_number), 0);
    EXPECT_TRUE(spy.count() > 0 || spy.wait(10000)) << signal_number;
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.takeFirst().at(0).toInt(), signal_number);
  }
}

TEST(TerminationSignalsTest, PutsThePreviousHandlersBack) {
  {
    TerminationSignals signals_watched;
    struct sigaction current {};
    sigaction(SIGTERM, nullptr, &current);
    EXPECT_NE(current.sa_handler, SIG_DFL);
  }
  for (const int signal_number : {SIGTERM, SIGHUP, SIGINT}) {
    struct sigaction current {};
    sigaction(signal_number, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL) << signal_number;
  }
}

}  // namespace
}  // namespace tallivan
