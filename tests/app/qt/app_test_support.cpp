#include "tests/app/qt/app_test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <algorithm>
#include <string_view>

#include "resources/string_table.h"

namespace rt88h::app::testing {

BoxWatcher::BoxWatcher(Action action) : action_(std::move(action)) {
  connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
  timer_.start(5);
}

void BoxWatcher::poll() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr || !box->isVisible()) return;
  if (std::find(handled_.begin(), handled_.end(), box) != handled_.end()) return;
  handled_.emplace_back(box);
  seen_.push_back({box->text(), box->windowTitle(), box->icon(), box->standardButtons(),
                   box->informativeText()});
  if (action_) {
    action_(box);
  } else if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
    ok->click();
  } else {
    box->reject();
  }
}

Controls::Controls(QWidget* window)
    : inList(window->findChild<QComboBox*>(QStringLiteral("inList"))),
      outList(window->findChild<QComboBox*>(QStringLiteral("outList"))),
      progress(window->findChild<QProgressBar*>(QStringLiteral("progress"))),
      executeButton(window->findChild<QPushButton*>(QStringLiteral("executeButton"))),
      exitButton(window->findChild<QPushButton*>(QStringLiteral("exitButton"))),
      rescanButton(window->findChild<QPushButton*>(QStringLiteral("rescanButton"))),
      statusText(window->findChild<QLineEdit*>(QStringLiteral("statusText"))),
      stepText(window->findChild<QLineEdit*>(QStringLiteral("stepText"))) {}

int indexOf(QComboBox* list, const std::string& name) {
  for (int i = 0; i < list->count(); ++i) {
    if (list->itemText(i).toStdString() == name) return i;
  }
  return -1;
}

QString tableText(int id) {
  const std::string_view text = loadString(id);
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString firstLine(QProcess& process, int milliseconds) {
  while (!process.canReadLine()) {
    if (!process.waitForReadyRead(milliseconds)) return {};
  }
  return QString::fromUtf8(process.readLine()).trimmed();
}

}  // namespace rt88h::app::testing
