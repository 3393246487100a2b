#pragma once
// Dialog-template geometry: units of a quarter of the font's average character width and an
// eighth of its height, so the layout follows the font as the templates intend.
#include <QFont>
#include <QFontMetrics>
#include <QRect>
#include <QSize>

#include "app/core/dialog_templates.h"

class QWidget;

namespace rt88h::app {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    baseX_ = metrics.averageCharWidth();
    baseY_ = metrics.height();
  }
  int x(int units) const { return (units * baseX_ + 2) / 4; }
  int y(int units) const { return (units * baseY_ + 4) / 8; }
  QRect rect(int left, int top, int width, int height) const {
    return {x(left), y(top), x(width), y(height)};
  }
  QRect rect(const DialogControl& c) const { return rect(c.x, c.y, c.width, c.height); }
  QSize size(int width, int height) const { return {x(width), y(height)}; }

 private:
  int baseX_ = 4;
  int baseY_ = 8;
};

// A template's control as its Qt widget, placed and with its text: a push or tool button, a
// label, a drop-down list, a progress bar or a read-only line.
QWidget* createControl(QWidget* parent, const DialogControl& control, const DialogUnits& du);

}  // namespace rt88h::app
