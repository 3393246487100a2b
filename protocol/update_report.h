#pragma once
// What an update did, as it happens: for whoever keeps a record (the support log, a terminal's
// progress). Called on the worker's thread; a report must return quickly and never fail it.
#include <cstdint>
#include <string_view>

namespace rt88h {

enum class UpdateEvent {
  Started,     // the Identity Request left (or failed to)
  Identified,  // the device answered: value = the reported model
  StepBegun,   // step 0: BeginUpdate; 1 to 6: the plan's steps; 7: EndUpdate
  Refused,     // the device answered with a failure: value = its status
  TimedOut,    // no answer within the wait
  Doubted,     // a late cycle may have repeated the request just sent: its second answer is owed
  Resent,      // the same erase or chunk goes out again: value = which send (2 to 7)
  Finished,    // messageId: the text the update ended with; 0 when it was stopped
};

// The event's name as records are written.
constexpr std::string_view eventName(UpdateEvent event) {
  switch (event) {
    case UpdateEvent::Started: return "started";
    case UpdateEvent::Identified: return "identified";
    case UpdateEvent::StepBegun: return "step";
    case UpdateEvent::Refused: return "refused";
    case UpdateEvent::TimedOut: return "timed-out";
    case UpdateEvent::Doubted: return "doubted";
    case UpdateEvent::Resent: return "resent";
    case UpdateEvent::Finished: return "finished";
  }
  return "?";
}

struct UpdateRecord {
  UpdateEvent event = UpdateEvent::Started;
  int step = 0;          // as StepBegun counts them
  uint32_t address = 0;  // the erase's or the chunk's flash address
  uint32_t length = 0;   // StepBegun: the region's length
  int32_t value = 0;
  int messageId = 0;  // Finished
  int64_t atUs = 0;   // on the update's clock
};

class UpdateReport {
 public:
  virtual void record(const UpdateRecord& record) = 0;

 protected:
  ~UpdateReport() = default;
};

}  // namespace rt88h
