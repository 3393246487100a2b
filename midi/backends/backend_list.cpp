#include "backend_list.h"

#include "midi_service.h"

#ifdef RT88H_HAVE_ALSA
#include "alsa_backend.h"
#endif
#ifdef RT88H_HAVE_JACK
#include "jack_backend.h"
#endif

namespace rt88h::midi {

// Which services exist is settled by the build; the lists show ALSA devices before JACK ones.
void registerPlatformBackends(MidiService& service) {
#ifdef RT88H_HAVE_ALSA
  service.addBackend(makeAlsaBackend());
#endif
#ifdef RT88H_HAVE_JACK
  service.addBackend(makeJackBackend());
#endif
  (void)service;
}

}  // namespace rt88h::midi
