#include "app/qt/dialog_units.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <algorithm>

#include "resources/string_table.h"

namespace rt88h::app {

namespace {

QString textOf(const DialogControl& control) {
  const std::string_view text = control.text != 0 ? loadString(control.text) : "";
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QWidget* createControl(QWidget* parent, const DialogControl& control, const DialogUnits& du) {
  QWidget* widget = nullptr;
  switch (control.kind) {
    case ControlKind::DefaultButton:
    case ControlKind::Button: {
      auto* button = new QPushButton(textOf(control), parent);
      button->setDefault(control.kind == ControlKind::DefaultButton);
      widget = button;
      break;
    }
    case ControlKind::DropList: {
      auto* list = new QComboBox(parent);
      QRect area = du.rect(control);  // its height: the open list's
      area.setHeight(list->sizeHint().height());
      list->setGeometry(area);
      list->setInsertPolicy(QComboBox::NoInsert);
      list->setMaxVisibleItems(std::max(1, (du.y(control.height) - area.height()) / area.height()));
      return list;
    }
    case ControlKind::Progress: {
      auto* bar = new QProgressBar(parent);
      bar->setTextVisible(false);
      widget = bar;
      break;
    }
    case ControlKind::ReadOnlyEdit: {
      auto* edit = new QLineEdit(parent);
      edit->setReadOnly(true);
      widget = edit;
      break;
    }
    case ControlKind::ReadOnlyText: {
      auto* text = new QPlainTextEdit(parent);
      text->setReadOnly(true);
      widget = text;
      break;
    }
    case ControlKind::AboutButton: widget = new QToolButton(parent); break;
    case ControlKind::Label:
    case ControlKind::Picture:
    case ControlKind::Icon:
    case ControlKind::Badge: widget = new QLabel(textOf(control), parent); break;
  }
  widget->setGeometry(du.rect(control));
  return widget;
}

}  // namespace rt88h::app
