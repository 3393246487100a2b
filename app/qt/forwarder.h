#pragma once
// The window forwarder on Qt: work reaches the object's thread as a queued call.
#include <QObject>

#include "app/core/window_forwarder.h"

namespace rt88h::app {

class GuiForwarder final : public QObject, public WindowForwarder {
  Q_OBJECT

 public:
  explicit GuiForwarder(QObject* parent = nullptr);
  ~GuiForwarder() override;

 protected:
  bool onWindowThread() const override;
  void post(std::shared_ptr<Request> request) override;
};

}  // namespace rt88h::app
