#include "app/qt/forwarder.h"

#include <QMetaObject>
#include <QThread>

namespace rt88h::app {

GuiForwarder::GuiForwarder(QObject* parent) : QObject(parent) {}

GuiForwarder::~GuiForwarder() = default;

bool GuiForwarder::onWindowThread() const {
  return QThread::currentThread() == thread();
}

void GuiForwarder::post(std::shared_ptr<Request> request) {
  QMetaObject::invokeMethod(
      this, [this, request] { run(*request); }, Qt::QueuedConnection);
}

}  // namespace rt88h::app
