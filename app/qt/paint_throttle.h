#pragma once
// Paints a widget whose content changes many times a second no more often than a person can
// read it. The content itself changes at once; only the painting waits.
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

namespace rt88h::app {

class PaintThrottle final : public QObject {
 public:
  PaintThrottle(QWidget* widget, int intervalMs);

  // Call before changing the widget's content, on its thread.
  void beforeChange();

 private:
  void paintNow();

  QWidget* widget_;
  int intervalMs_;
  QElapsedTimer sincePaint_;
  QTimer later_;
};

}  // namespace rt88h::app
