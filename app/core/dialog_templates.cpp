#include "app/core/dialog_templates.h"

#include <algorithm>

#include "protocol/flash_plan.h"

namespace rt88h::app {

std::span<const DialogControl> dialogControls(int dialog) {
  const auto first = std::find_if(std::begin(kDialogControls), std::end(kDialogControls),
                                  [dialog](const DialogControl& c) { return c.dialog == dialog; });
  const auto end = std::find_if(first, std::end(kDialogControls),
                                [dialog](const DialogControl& c) { return c.dialog != dialog; });
  return {first, end};
}

const DialogTemplate& dialogTemplate(int dialog) {
  return *std::find_if(std::begin(kDialogTemplates), std::end(kDialogTemplates),
                       [dialog](const DialogTemplate& t) { return t.dialog == dialog; });
}

const DialogControl& controlOf(int dialog, ControlKind kind) {
  const std::span<const DialogControl> controls = dialogControls(dialog);
  return *std::find_if(controls.begin(), controls.end(),
                       [kind](const DialogControl& c) { return c.kind == kind; });
}

const DialogControl& controlWithId(int dialog, int id) {
  const std::span<const DialogControl> controls = dialogControls(dialog);
  return *std::find_if(controls.begin(), controls.end(),
                       [id](const DialogControl& c) { return c.id == id; });
}

std::optional<TestImagesBadge> testImagesBadge() {
  if (!payloadsAreTestImages()) return std::nullopt;
  return TestImagesBadge{loadString(IDS_TEST_IMAGES_BADGE), loadString(IDS_TEST_IMAGES_RISK), 0xb0,
                         0x00, 0x00};
}

}  // namespace rt88h::app
