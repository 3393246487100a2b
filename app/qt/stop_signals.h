#pragma once
// SIGTERM and SIGINT as a Qt signal on the thread that made the object: the handler only writes
// a byte to a pipe, which the event loop reads. After destruction they find nothing to do: the
// window has closed and the process ends by itself, with its own status.
#include <QObject>
#include <QSocketNotifier>
#include <csignal>
#include <memory>

namespace rt88h::app {

class StopSignals final : public QObject {
  Q_OBJECT

 public:
  StopSignals();
  ~StopSignals() override;

 Q_SIGNALS:
  void received();

 private:
  void drain();

  int pipeEnds[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> notifier;
};

}  // namespace rt88h::app
