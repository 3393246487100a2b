#include "sim/attach/simulated_device.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace rt88h::sim {

using Clock = std::chrono::steady_clock;

struct SimulatedDevice::Impl {
  std::shared_ptr<midi::VirtualDevice> device;
  std::mutex modelMutex;
  DeviceModel model;

  // Answers wait here until they are due; one thread injects them in time order.
  std::mutex scheduleMutex;
  std::condition_variable scheduleChanged;
  std::multimap<Clock::time_point, std::vector<uint8_t>> due;
  bool stopping = false;
  std::thread scheduler;

  explicit Impl(const DeviceModel::Config& config) : model(config) {}

  void schedule(std::vector<uint8_t> bytes, uint32_t delayMs) {
    {
      std::lock_guard<std::mutex> lock(scheduleMutex);
      due.emplace(Clock::now() + std::chrono::milliseconds(delayMs), std::move(bytes));
    }
    scheduleChanged.notify_one();
  }

  void receive(const uint8_t* bytes, std::size_t count) {
    std::vector<Reply> replies;
    {
      std::lock_guard<std::mutex> lock(modelMutex);
      model.receive(bytes, count, replies);
    }
    for (Reply& reply : replies) schedule(std::move(reply.bytes), reply.delayMs);
  }

  void deliverUntilStopped() {
    std::unique_lock<std::mutex> lock(scheduleMutex);
    while (!stopping) {
      if (due.empty()) {
        scheduleChanged.wait(lock);
        continue;
      }
      const auto when = due.begin()->first;
      if (Clock::now() < when) {
        scheduleChanged.wait_until(lock, when);
        continue;
      }
      std::vector<uint8_t> bytes = std::move(due.begin()->second);
      due.erase(due.begin());
      lock.unlock();
      device->inject(bytes.data(), bytes.size());
      lock.lock();
    }
  }
};

SimulatedDevice::SimulatedDevice(std::string name, DeviceModel::Config config)
    : impl_(std::make_unique<Impl>(config)) {
  impl_->device = midi::addInProcessDevice(std::move(name));
  impl_->scheduler = std::thread([impl = impl_.get()] { impl->deliverUntilStopped(); });
  impl_->device->setReceiver([impl = impl_.get()](const uint8_t* bytes, std::size_t count) {
    impl->receive(bytes, count);
  });
}

SimulatedDevice::~SimulatedDevice() {
  impl_->device->setReceiver(nullptr);
  {
    std::lock_guard<std::mutex> lock(impl_->scheduleMutex);
    impl_->stopping = true;
  }
  impl_->scheduleChanged.notify_one();
  impl_->scheduler.join();
  impl_->device->vanish();
}

void SimulatedDevice::send(std::vector<uint8_t> bytes, uint32_t delayMs) {
  impl_->schedule(std::move(bytes), delayMs);
}

void SimulatedDevice::withModel(const std::function<void(DeviceModel&)>& f) {
  std::lock_guard<std::mutex> lock(impl_->modelMutex);
  f(impl_->model);
}

}  // namespace rt88h::sim
