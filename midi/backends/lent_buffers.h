#pragma once
// The buffer-filling rule every back-end shares: incoming SysEx pieces fill the lent buffers in
// order; a buffer comes back done at F7 or when full, so an entry is one whole message of up to
// its buffer's size (longer messages continue in the next buffer, without F0). A message cut
// short comes back as LongError, never as a message.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "midi/midi_api.h"
#include "midi/midi_service.h"

namespace rt88h::midi {

class LentBuffers {
 public:
  LentBuffers(InCallback callback, void* instance);

  // The header calls of an input device. prepare/unprepare set or check kHeaderPrepared;
  // unprepare of a lent header fails with kMidiErrorStillPlaying.
  int prepare(MidiHeader* header);
  int addBuffer(MidiHeader* header);
  int unprepare(MidiHeader* header);
  void start();
  // A partly filled buffer comes back done with what it holds (LongData, as the platform's stop
  // does); empty ones stay lent.
  void stop();
  // Every lent buffer comes back done and empty; input stops.
  void reset();
  // After this no callback is made any more.
  void close();

  // From the back-end's receiving thread only. Bytes of SysEx, in any pieces: an F0 starts a
  // new message (a message in progress without F7 is handed back as cut), F7 ends it. Dropped
  // while not started or when no buffer is lent. `arrival` says when the piece came; unstamped,
  // it is stamped with the steady clock now.
  void feedSysEx(const uint8_t* bytes, std::size_t count, Arrival arrival = {});
  // The message in progress is cut (e.g. an overrun): its bytes come back as LongError.
  void endMessage();
  // A short (non-SysEx) message: straight to the callback.
  void feedShort(uint32_t message);

 private:
  void handBack(MidiHeader* header, std::unique_lock<std::mutex>& lock,
                InMessage how = InMessage::LongData);
  void call(InMessage message, MidiHeader* header, uint32_t shortMessage,
            std::unique_lock<std::mutex>& lock);
  // How a message in progress ends without its F7: cut (LongError), or by stop (LongData).
  void endInProgress(std::unique_lock<std::mutex>& lock, InMessage how);
  InCallback callback_;
  void* instance_;
  std::mutex mutex_;  // never held while the callback runs
  std::deque<MidiHeader*> lent_;
  bool started_ = false;
  bool closed_ = false;
  bool inMessage_ = false;
  int callbacksRunning_ = 0;  // close() waits until this is 0
  std::condition_variable callbacksEnded_;
};

// An input device whose lent buffers follow the shared rule: the header calls go straight to it.
class LentBuffersInDevice : public InDevice {
 public:
  LentBuffersInDevice(InCallback callback, void* instance)
      : lent_(std::make_shared<LentBuffers>(callback, instance)) {}

  int reset() override {
    lent_->reset();
    return kMidiOk;
  }
  int prepare(MidiHeader* header) override { return lent_->prepare(header); }
  int addBuffer(MidiHeader* header) override { return lent_->addBuffer(header); }
  int start() override {
    lent_->start();
    return kMidiOk;
  }
  int stop() override {
    lent_->stop();
    return kMidiOk;
  }
  int unprepare(MidiHeader* header) override { return lent_->unprepare(header); }

 protected:
  // Shared: a back-end's delivery in progress may hold it a little longer.
  std::shared_ptr<LentBuffers> lent_;
};

}  // namespace rt88h::midi
