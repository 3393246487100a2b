#pragma once
// Shared pieces of the window tests: a private lock directory, virtual devices that go away
// with the test, a watcher that answers message boxes, access to the window's controls, and a
// child's first line.
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/in_process_devices.h"
#include "tests/support/scoped_env.h"

namespace rt88h::app::testing {

// XDG_RUNTIME_DIR pointed at a fresh directory for the life of the object.
using rt88h::testing::ScopedEnv;
class RuntimeDir {
 public:
  QString path() const { return dir_.path(); }

 private:
  QTemporaryDir dir_;
  ScopedEnv env_{"XDG_RUNTIME_DIR", dir_.path().toLocal8Bit().constData()};
};

using rt88h::testing::Devices;

struct SeenBox {
  QString text;
  QString title;
  QMessageBox::Icon icon;
  QMessageBox::StandardButtons buttons;
  QString informative;
};

// Watches for modal message boxes on the GUI thread and handles each once: by default it
// clicks OK; a custom action may do anything else (close the window, for instance).
class BoxWatcher : public QObject {
 public:
  using Action = std::function<void(QMessageBox*)>;
  explicit BoxWatcher(Action action = {});
  const std::vector<SeenBox>& seen() const { return seen_; }

 private:
  void poll();
  Action action_;
  QTimer timer_;
  std::vector<QPointer<QMessageBox>> handled_;
  std::vector<SeenBox> seen_;
};

// The window's controls, found by their object names.
struct Controls {
  explicit Controls(QWidget* window);
  QComboBox* inList;
  QComboBox* outList;
  QProgressBar* progress;
  QPushButton* executeButton;
  QPushButton* exitButton;
  QPushButton* rescanButton;
  QLineEdit* statusText;
  QLineEdit* stepText;
};

int indexOf(QComboBox* list, const std::string& name);

// A string table entry as the window shows it.
QString tableText(int id);

// The child's first line, or "" when it ends or stays silent for `milliseconds`.
QString firstLine(QProcess& process, int milliseconds = 10000);

}  // namespace rt88h::app::testing
