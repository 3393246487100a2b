#include "midi/backends/backend_list.h"

#include <memory>

#include "midi/backends/virtual_midi.h"
#include "midi/midi_service.h"

#ifdef RT88H_HAVE_ALSA
#include "midi/backends/alsa_backend.h"
#endif
#ifdef RT88H_HAVE_JACK
#include "midi/backends/jack_backend.h"
#endif
#ifdef RT88H_HAVE_WINMM
#include "midi/backends/winmm_backend.h"
#endif

namespace rt88h::midi {

// Which machine services exist is settled by the build; ALSA devices come before JACK ones, WinMM
// ones (Windows) after them, and the in-process virtual back-end, always built, comes last.
void registerBackends(MidiService& service) {
#ifdef RT88H_HAVE_ALSA
  service.addBackend(makeAlsaBackend());
#endif
#ifdef RT88H_HAVE_JACK
  service.addBackend(makeJackBackend());
#endif
#ifdef RT88H_HAVE_WINMM
  service.addBackend(makeWinmmBackend());
#endif
  // virtualMidi() is a static of its own, built before the service's holder and so destroyed
  // after it: the service shares it without owning it.
  VirtualMidiBackend& virtualBackend = virtualMidi();
  service.addBackend(std::shared_ptr<MidiBackend>(std::shared_ptr<void>(), &virtualBackend));
}

}  // namespace rt88h::midi
