#pragma once
// Shared pieces of the window tests: a private lock directory, virtual devices that go away
// with the test, a watcher that answers message boxes, and access to the window's controls.
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "midi/in_process.h"
#include "tests/support/scoped_env.h"

namespace rt88h::app::testing {

// XDG_RUNTIME_DIR pointed at a fresh directory for the life of the object.
class RuntimeDir {
 public:
  RuntimeDir();
  ~RuntimeDir();
  QString path() const { return dir_.path(); }

 private:
  QTemporaryDir dir_;
  QByteArray previous_;
  bool hadPrevious_;
};

using rt88h::testing::ScopedEnv;

// Virtual devices that vanish (leave the lists) when the test ends.
class Devices {
 public:
  ~Devices();
  std::shared_ptr<midi::VirtualDevice> add(const std::string& name);

 private:
  std::vector<std::shared_ptr<midi::VirtualDevice>> devices_;
};

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

// A flag one thread raises and another waits for, with a bound.
class Flag {
 public:
  void raise();
  bool raised();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool raised_ = false;
};

}  // namespace rt88h::app::testing
