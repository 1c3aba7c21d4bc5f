#ifndef TALLIVAN_UI_TERMINATION_SIGNALS_H_
#define TALLIVAN_UI_TERMINATION_SIGNALS_H_

#include <QObject>
#include <csignal>

class QSocketNotifier;

namespace tallivan {

// Turns SIGTERM, SIGHUP and SIGINT sent to the process into the Qt signal Received, delivered by
// the event loop of the thread that made the object. One instance at a time.
class TerminationSignals : public QObject {
  Q_OBJECT

 public:
  // Installs the handlers.
  explicit TerminationSignals(QObject* parent = nullptr);
  // Puts the previous handlers back.
  ~TerminationSignals() override;

  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

 signals:
  // A termination signal arrived.
  void Received(int signal_number);

 private:
  void Drain();

  int read_fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  struct sigaction previous_[3] = {};
};

}  // namespace tallivan

#endif  // TALLIVAN_UI_TERMINATION_SIGNALS_H_
