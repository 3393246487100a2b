// A line that changes many times a second: its content is always current, its painting waits.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTest>

#include "app/qt/paint_throttle.h"

namespace rt88h::app {
namespace {

TEST(PaintThrottle, AChangeSoonAfterAPaintIsShownByOneLaterPaint) {
  QLineEdit edit;
  // An interval no machine stalls through: the second change surely comes within it.
  PaintThrottle slow(&edit, 600000);
  slow.beforeChange();
  edit.setText("first");
  EXPECT_TRUE(edit.updatesEnabled());  // nothing painted lately: at once

  slow.beforeChange();
  edit.setText("second");
  EXPECT_FALSE(edit.updatesEnabled());  // painting waits...
  EXPECT_EQ(edit.text(), "second");     // ...the content does not
  slow.beforeChange();
  edit.setText("third");
  EXPECT_FALSE(edit.updatesEnabled());

  QLineEdit quick;
  PaintThrottle soon(&quick, 1);
  soon.beforeChange();
  soon.beforeChange();
  quick.setText("later");
  // Painting is back once the interval has passed.
  QTRY_VERIFY_WITH_TIMEOUT(quick.updatesEnabled(), 10000);
  EXPECT_EQ(quick.text(), "later");
}

}  // namespace
}  // namespace rt88h::app
