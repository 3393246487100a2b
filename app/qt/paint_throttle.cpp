#include "app/qt/paint_throttle.h"

#include <QWidget>

namespace rt88h::app {

PaintThrottle::PaintThrottle(QWidget* widget, int intervalMs)
    : QObject(widget), widget_(widget), intervalMs_(intervalMs) {
  later_.setSingleShot(true);
  connect(&later_, &QTimer::timeout, this, &PaintThrottle::paintNow);
}

void PaintThrottle::beforeChange() {
  if (later_.isActive()) return;  // the change is painted with the one already waiting
  if (!sincePaint_.isValid() || sincePaint_.elapsed() >= intervalMs_) {
    sincePaint_.start();
    return;
  }
  // With updates off, the change marks nothing dirty; turning them on paints it all once.
  widget_->setUpdatesEnabled(false);
  later_.start(intervalMs_ - static_cast<int>(sincePaint_.elapsed()));
}

void PaintThrottle::paintNow() {
  sincePaint_.start();
  widget_->setUpdatesEnabled(true);
}

}  // namespace rt88h::app
