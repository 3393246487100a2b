#pragma once
// The dialog templates (dialog_templates.def) as a table, and what marks a build with test
// images: both windows place and mark their controls by them.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "app/core/dialog_ids.h"
#include "resources/string_table.h"

namespace rt88h::app {

enum class ControlKind {
  DefaultButton,
  Button,
  Label,
  DropList,  // the height is the open list's
  Progress,
  ReadOnlyEdit,
  ReadOnlyText,  // several lines to select and copy
  Picture,
  Icon,
  Badge,
  AboutButton,
};

struct DialogControl {
  int dialog;
  ControlKind kind;
  int id;
  int x, y, width, height;
  int text;  // string id; 0: none
};

struct DialogTemplate {
  int dialog;
  int width, height;
  int fontPoints;
};

inline constexpr DialogControl kDialogControls[] = {
#define RT88H_DIALOG(dialog, width, height, points)
#define RT88H_CONTROL(dialog, kind, id, x, y, width, height, text) \
  {dialog, ControlKind::kind, id, x, y, width, height, text},
#include "app/core/dialog_templates.def"
#undef RT88H_CONTROL
#undef RT88H_DIALOG
};

inline constexpr DialogTemplate kDialogTemplates[] = {
#define RT88H_DIALOG(dialog, width, height, points) {dialog, width, height, points},
#define RT88H_CONTROL(dialog, kind, id, x, y, width, height, text)
#include "app/core/dialog_templates.def"
#undef RT88H_CONTROL
#undef RT88H_DIALOG
};

// The template's controls in tab order.
std::span<const DialogControl> dialogControls(int dialog);
const DialogTemplate& dialogTemplate(int dialog);
// The template's first control of that kind.
const DialogControl& controlOf(int dialog, ControlKind kind);
const DialogControl& controlWithId(int dialog, int id);

// A test-image build's mark beside Execute, in the badge's place; nullopt with firmware.
struct TestImagesBadge {
  std::string_view text;
  std::string_view tooltip;  // on the badge and on Execute
  uint8_t red, green, blue;
};
std::optional<TestImagesBadge> testImagesBadge();

}  // namespace rt88h::app
