#include "midi/backends/common.h"

#include <cerrno>
#include <map>

#include "midi/backends/lent_buffers.h"

namespace rt88h::midi {

uint32_t packShortMessage(const uint8_t* bytes, std::size_t count) {
  uint32_t message = 0;
  for (std::size_t i = 0; i < count && i < 3; ++i) message |= uint32_t{bytes[i]} << (8 * i);
  return message;
}

EventMeaning EventReader::read(const uint8_t* bytes, std::size_t count) {
  EventMeaning meaning;
  if (count == 0) return meaning;
  const uint8_t first = bytes[0];
  const bool endsWithF7 = bytes[count - 1] == 0xF7;
  if (first == 0xF0) {
    meaning.kind = EventMeaning::Kind::SysEx;
    inSysEx_ = !endsWithF7;
  } else if (first < 0x80 || first == 0xF7) {
    // Only a continuation of a SysEx in progress; stray data bytes mean nothing.
    if (!inSysEx_) return meaning;
    meaning.kind = EventMeaning::Kind::SysEx;
    inSysEx_ = !endsWithF7;
  } else if (first >= 0xF8) {
    // Real-time bytes may come in the middle of a SysEx without ending it.
    meaning.kind = EventMeaning::Kind::Short;
    meaning.shortMessage = first;
  } else {
    meaning.kind = EventMeaning::Kind::Short;
    meaning.cutsMessage = inSysEx_;
    meaning.shortMessage = packShortMessage(bytes, count);
    inSysEx_ = false;
  }
  return meaning;
}

EventMeaning EventReader::lost() {
  EventMeaning meaning;
  meaning.cutsMessage = inSysEx_;
  inSysEx_ = false;
  return meaning;
}

void deliverPiece(const uint8_t* bytes, std::size_t count, EventReader& reader,
                  LentBuffers& buffers, Arrival arrival) {
  const EventMeaning meaning = reader.read(bytes, count);
  if (meaning.cutsMessage) buffers.endMessage();
  switch (meaning.kind) {
    case EventMeaning::Kind::SysEx: buffers.feedSysEx(bytes, count, arrival); break;
    case EventMeaning::Kind::Short: buffers.feedShort(meaning.shortMessage); break;
    case EventMeaning::Kind::Ignore: break;
  }
}

void deliverLoss(EventReader& reader, LentBuffers& buffers) {
  reader.lost();
  buffers.endMessage();
}

std::vector<std::string> deviceNames(const std::vector<ListedPort>& ports) {
  std::map<std::string, std::size_t> perClient;
  for (const ListedPort& port : ports) ++perClient[port.client];
  std::vector<std::string> names;
  names.reserve(ports.size());
  for (const ListedPort& port : ports) {
    names.push_back(perClient[port.client] == 1 ? port.clientName : port.portName);
  }
  return names;
}

// Only the ALSA and JACK clients are named; program_invocation_short_name is glibc's.
#if defined(RT88H_HAVE_ALSA) || defined(RT88H_HAVE_JACK)
std::string applicationName() {
  const char* name = program_invocation_short_name;
  if (name == nullptr || *name == '\0') return "rt88h-updater";
  return name;
}
#endif

}  // namespace rt88h::midi
