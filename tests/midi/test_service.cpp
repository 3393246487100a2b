// The service over several back-ends: one list per direction, indices, names and handles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "midi/in_process.h"
#include "midi/midi_in_port.h"
#include "midi/midi_service.h"
#include "tests/support/watched_api.h"

namespace rt88h::midi {
namespace {

using Names = std::vector<std::string>;

// What the fake devices did, in order.
struct Log {
  std::mutex mutex;
  std::vector<std::string> events;
  void add(std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
  }
};

// Notes each call of a fake device, and its end, under the device's tag.
struct Noted {
  Noted(std::shared_ptr<Log> log, std::string tag) : log_(std::move(log)), tag_(std::move(tag)) {}
  ~Noted() { log_->add(tag_ + " destroyed"); }
  int note(const char* what) {
    log_->add(tag_ + " " + what);
    return kMidiOk;
  }
  std::shared_ptr<Log> log_;
  std::string tag_;
};

struct FakeIn final : InDevice, Noted {
  FakeIn(std::shared_ptr<Log> log, std::string tag, int* closeFailures = nullptr)
      : Noted(std::move(log), std::move(tag)), closeFailures_(closeFailures) {}
  int reset() override { return note("reset"); }
  int prepare(MidiHeader*) override { return note("prepare"); }
  int addBuffer(MidiHeader*) override { return note("addBuffer"); }
  int start() override { return note("start"); }
  int stop() override { return note("stop"); }
  int unprepare(MidiHeader*) override { return note("unprepare"); }
  int close() override {
    note("close");
    if (closeFailures_ != nullptr && *closeFailures_ > 0) {
      --*closeFailures_;
      return kMidiErrorStillPlaying;
    }
    return kMidiOk;
  }
  int* closeFailures_;
};

struct FakeOut final : OutDevice, Noted {
  FakeOut(std::shared_ptr<Log> log, std::string tag, bool serialised)
      : Noted(std::move(log), std::move(tag)), serialised_(serialised) {}
  int prepare(MidiHeader*) override { return note("prepare"); }
  int longMsg(MidiHeader*) override { return note("longMsg"); }
  int unprepare(MidiHeader*) override { return note("unprepare"); }
  int reset() override { return note("reset"); }
  int close() override { return note("close"); }
  bool needsSerialisedSends() const override { return serialised_; }
  bool serialised_;
};

class FakeBackend final : public MidiBackend {
 public:
  FakeBackend(std::string name, Names inputs, Names outputs, std::shared_ptr<Log> log)
      : name_(std::move(name)),
        inputs_(std::move(inputs)),
        outputs_(std::move(outputs)),
        log_(std::move(log)) {}

  Names inputNames() override {
    std::lock_guard lock(mutex_);
    return inputs_;
  }
  Names outputNames() override {
    std::lock_guard lock(mutex_);
    return outputs_;
  }
  int openInput(std::size_t localIndex, InCallback, void*,
                std::unique_ptr<InDevice>& device) override {
    const std::string tag = name_ + " in " + std::to_string(localIndex);
    log_->add(tag + " open");
    if (refuseOpen != kMidiOk) return refuseOpen;
    device = std::make_unique<FakeIn>(log_, tag, &inCloseFailures);
    return kMidiOk;
  }
  int openOutput(std::size_t localIndex, std::unique_ptr<OutDevice>& device) override {
    const std::string tag = name_ + " out " + std::to_string(localIndex);
    log_->add(tag + " open");
    if (refuseOpen != kMidiOk) return refuseOpen;
    device = std::make_unique<FakeOut>(log_, tag, serialisedOutputs);
    return kMidiOk;
  }
  int openMapperOutput(std::unique_ptr<OutDevice>& device) override {
    if (!mapper) return kMidiErrorBadDevice;
    log_->add(name_ + " out mapper open");
    device = std::make_unique<FakeOut>(log_, name_ + " out mapper", serialisedOutputs);
    return kMidiOk;
  }
  void rescan() override { log_->add(name_ + " rescan"); }

  void setInputs(Names names) {
    std::lock_guard lock(mutex_);
    inputs_ = std::move(names);
  }

  int refuseOpen = kMidiOk;
  bool serialisedOutputs = false;
  int inCloseFailures = 0;  // the next input closes that fail
  bool mapper = false;      // an output mapper, as WinMM has

 private:
  std::string name_;
  std::mutex mutex_;
  Names inputs_;
  Names outputs_;
  std::shared_ptr<Log> log_;
};

void noCallback(InMessage, void*, MidiHeader*, uint32_t) {}

class MidiServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    first = std::make_shared<FakeBackend>("alsa", Names{"a0", "a1"}, Names{"x0"}, log);
    second = std::make_shared<FakeBackend>("jack", Names{"b0"}, Names{"y0", "y1"}, log);
    service.addBackend(first);
    service.addBackend(second);
  }

  Names inNames() { return rt88h::testing::deviceNames(service, true); }
  Names outNames() { return rt88h::testing::deviceNames(service, false); }
  Names events() {
    std::lock_guard lock(log->mutex);
    return std::exchange(log->events, {});
  }

  std::shared_ptr<Log> log = std::make_shared<Log>();
  std::shared_ptr<FakeBackend> first;
  std::shared_ptr<FakeBackend> second;
  MidiService service;
};

TEST_F(MidiServiceTest, ListsJoinTheBackendsInTheOrderTheyWereAdded) {
  EXPECT_EQ(service.inDeviceCount(), 3);
  EXPECT_EQ(service.outDeviceCount(), 3);
  EXPECT_EQ(inNames(), (Names{"a0", "a1", "b0"}));
  EXPECT_EQ(outNames(), (Names{"x0", "y0", "y1"}));
}

TEST_F(MidiServiceTest, ListsAreEnumeratedAfreshOnEveryCall) {
  first->setInputs({"a0"});
  EXPECT_EQ(inNames(), (Names{"a0", "b0"}));
  first->setInputs({"a0", "a1", "a2"});
  EXPECT_EQ(inNames(), (Names{"a0", "a1", "a2", "b0"}));
}

TEST_F(MidiServiceTest, NamesFollowTheNamingRulesAcrossBackends) {
  first->setInputs({"RT-88H"});
  second->setInputs({"RT-88H", std::string(40, 'z')});
  EXPECT_EQ(inNames(), (Names{"RT-88H", "RT-88H (2)", std::string(31, 'z')}));
}

TEST_F(MidiServiceTest, ABadIndexHasAnEmptyName) {
  for (const int index : {-1, 3, 1000}) {
    char name[kDeviceNameSize];
    std::memset(name, 'q', sizeof name);
    EXPECT_EQ(service.inDeviceName(index, name, sizeof name), kMidiErrorBadDevice) << index;
    EXPECT_STREQ(name, "") << index;
    std::memset(name, 'q', sizeof name);
    EXPECT_EQ(service.outDeviceName(index, name, sizeof name), kMidiErrorBadDevice) << index;
    EXPECT_STREQ(name, "") << index;
  }
}

TEST_F(MidiServiceTest, TheNameCopyIsBoundedAndKeepsCharactersWhole) {
  first->setInputs({"ABCDEFGH", "あいう"});
  char name[6];
  std::memset(name, 'q', sizeof name);
  EXPECT_EQ(service.inDeviceName(0, name, 5), kMidiOk);
  EXPECT_STREQ(name, "ABCD");
  EXPECT_EQ(name[5], 'q');  // nothing past the given size
  EXPECT_EQ(service.inDeviceName(1, name, 6), kMidiOk);
  EXPECT_STREQ(name, "あ");
}

TEST_F(MidiServiceTest, OpenReachesTheOwningBackendWithItsOwnIndex) {
  InHandle in = nullptr;
  ASSERT_EQ(service.inOpen(&in, 2, noCallback, nullptr), kMidiOk);
  ASSERT_NE(in, nullptr);
  OutHandle out = nullptr;
  ASSERT_EQ(service.outOpen(&out, 1), kMidiOk);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(events(), (Names{"jack in 0 open", "jack out 0 open"}));

  MidiHeader header;
  EXPECT_EQ(service.inPrepare(in, &header), kMidiOk);
  EXPECT_EQ(service.inAddBuffer(in, &header), kMidiOk);
  EXPECT_EQ(service.inStart(in), kMidiOk);
  EXPECT_EQ(service.inStop(in), kMidiOk);
  EXPECT_EQ(service.inReset(in), kMidiOk);
  EXPECT_EQ(service.inUnprepare(in, &header), kMidiOk);
  EXPECT_EQ(service.outPrepare(out, &header), kMidiOk);
  EXPECT_EQ(service.outLongMsg(out, &header), kMidiOk);
  EXPECT_EQ(service.outReset(out), kMidiOk);
  EXPECT_EQ(service.outUnprepare(out, &header), kMidiOk);
  EXPECT_EQ(events(),
            (Names{"jack in 0 prepare", "jack in 0 addBuffer", "jack in 0 start", "jack in 0 stop",
                   "jack in 0 reset", "jack in 0 unprepare", "jack out 0 prepare",
                   "jack out 0 longMsg", "jack out 0 reset", "jack out 0 unprepare"}));

  EXPECT_EQ(service.inClose(in), kMidiOk);
  EXPECT_EQ(service.outClose(out), kMidiOk);
  EXPECT_EQ(events(), (Names{"jack in 0 close", "jack in 0 destroyed", "jack out 0 close",
                             "jack out 0 destroyed"}));
}

TEST_F(MidiServiceTest, AnInputWhoseCloseFailedStaysUntilAClosePasses) {
  first->inCloseFailures = 1;
  MidiInPort port(service);
  ASSERT_EQ(port.openAndStart(1), 1);
  events();
  port.close();  // fails: the port keeps the handle to try again
  const Names failed = events();
  EXPECT_EQ(failed.back(), "alsa in 1 close");
  ASSERT_EQ(std::count(failed.begin(), failed.end(), "alsa in 1 destroyed"), 0)
      << "the device went while the port still holds its handle";
  port.close();
  EXPECT_EQ(events(), (Names{"alsa in 1 stop", "alsa in 1 reset", "alsa in 1 unprepare",
                             "alsa in 1 close", "alsa in 1 destroyed"}));
}

TEST_F(MidiServiceTest, OpenOfMinusOneWithoutAMapperOrPastTheEndFails) {
  for (const int index : {-1, 3, 99}) {
    // Not a device: must be overwritten on failure.
    InHandle in = reinterpret_cast<InHandle>(std::uintptr_t{0x10});
    EXPECT_EQ(service.inOpen(&in, index, noCallback, nullptr), kMidiErrorBadDevice) << index;
    EXPECT_EQ(in, nullptr);
    OutHandle out = reinterpret_cast<OutHandle>(std::uintptr_t{0x10});
    EXPECT_EQ(service.outOpen(&out, index), kMidiErrorBadDevice) << index;
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_TRUE(events().empty());

  // -1 reaches the first back-end with a mapper; input has none.
  second->mapper = true;
  OutHandle mapped = nullptr;
  ASSERT_EQ(service.outOpen(&mapped, kMapperIndex), kMidiOk);
  EXPECT_EQ(service.outClose(mapped), kMidiOk);
  InHandle in = nullptr;
  EXPECT_EQ(service.inOpen(&in, kMapperIndex, noCallback, nullptr), kMidiErrorBadDevice);
  EXPECT_EQ(events(),
            (Names{"jack out mapper open", "jack out mapper close", "jack out mapper destroyed"}));
}

TEST_F(MidiServiceTest, ARefusedOpenPassesTheBackendsResultOn) {
  first->refuseOpen = kMidiErrorNotReady;
  InHandle in = nullptr;
  EXPECT_EQ(service.inOpen(&in, 0, noCallback, nullptr), kMidiErrorNotReady);
  EXPECT_EQ(in, nullptr);
  OutHandle out = nullptr;
  EXPECT_EQ(service.outOpen(&out, 0), kMidiErrorNotReady);
  EXPECT_EQ(out, nullptr);
}

TEST_F(MidiServiceTest, ANullHandleIsInvalid) {
  MidiHeader header;
  EXPECT_EQ(service.inReset(nullptr), kMidiErrorInvalidHandle);
  EXPECT_EQ(service.inPrepare(nullptr, &header), kMidiErrorInvalidHandle);
  EXPECT_EQ(service.inAddBuffer(nullptr, &header), kMidiErrorInvalidHandle);
  EXPECT_EQ(service.inStart(nullptr), kMidiErrorInvalidHandle);
  EXPECT_EQ(service.inStop(nullptr), kMidiErrorInvalidHandle);
  EXPECT_EQ(service.inUnprepare(nullptr, &header), kMidiErrorInvalidHandle);
  EXPECT_EQ(service.inClose(nullptr), kMidiErrorInvalidHandle);
  EXPECT_EQ(service.outPrepare(nullptr, &header), kMidiErrorInvalidHandle);
  EXPECT_EQ(service.outLongMsg(nullptr, &header), kMidiErrorInvalidHandle);
  EXPECT_EQ(service.outUnprepare(nullptr, &header), kMidiErrorInvalidHandle);
  EXPECT_EQ(service.outReset(nullptr), kMidiErrorInvalidHandle);
  EXPECT_EQ(service.outClose(nullptr), kMidiErrorInvalidHandle);
  EXPECT_EQ(service.inOpen(nullptr, 0, noCallback, nullptr), kMidiErrorInvalidHandle);
  EXPECT_EQ(service.outOpen(nullptr, 0), kMidiErrorInvalidHandle);
}

TEST_F(MidiServiceTest, RescanAndRemoveReachTheBackends) {
  service.rescan();
  EXPECT_EQ(events(), (Names{"alsa rescan", "jack rescan"}));
  service.removeBackend(first.get());
  EXPECT_EQ(inNames(), (Names{"b0"}));
  EXPECT_EQ(outNames(), (Names{"y0", "y1"}));
  service.rescan();
  EXPECT_EQ(events(), (Names{"jack rescan"}));
}

TEST_F(MidiServiceTest, SendsAreSerialisedWhileSuchAnOutputIsOpen) {
  second->serialisedOutputs = true;
  EXPECT_FALSE(service.outNeedsSerialisedSends());
  OutHandle plain = nullptr;
  ASSERT_EQ(service.outOpen(&plain, 0), kMidiOk);
  EXPECT_FALSE(service.outNeedsSerialisedSends());
  OutHandle serial = nullptr;
  ASSERT_EQ(service.outOpen(&serial, 2), kMidiOk);
  EXPECT_TRUE(service.outNeedsSerialisedSends());
  EXPECT_EQ(service.outClose(serial), kMidiOk);
  EXPECT_FALSE(service.outNeedsSerialisedSends());
  EXPECT_EQ(service.outClose(plain), kMidiOk);
}

TEST(SystemMidi, TheVirtualBackendComesLast) {
  MidiApi& api = systemMidi();
  EXPECT_EQ(&api, static_cast<MidiApi*>(&midiService()));
  const int outputs = api.outDeviceCount();
  const int inputs = api.inDeviceCount();
  auto device = addInProcessDevice("svc system check");
  ASSERT_EQ(api.outDeviceCount(), outputs + 1);
  ASSERT_EQ(api.inDeviceCount(), inputs + 1);
  char name[kDeviceNameSize] = {};
  ASSERT_EQ(api.outDeviceName(outputs, name, sizeof name), kMidiOk);
  EXPECT_STREQ(name, "svc system check");
  ASSERT_EQ(api.inDeviceName(inputs, name, sizeof name), kMidiOk);
  EXPECT_STREQ(name, "svc system check");
  device->vanish();
  EXPECT_EQ(api.outDeviceCount(), outputs);
  EXPECT_EQ(api.inDeviceCount(), inputs);
}

}  // namespace
}  // namespace rt88h::midi
