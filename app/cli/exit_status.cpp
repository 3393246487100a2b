#include "app/cli/exit_status.h"

#include <cstdio>

#include "app/core/command_line.h"
#include "resources/string_table.h"

namespace rt88h::cli {
namespace {

static_assert(kExitWrongCommandLine == app::kExitWrongCommandLine);

struct Ending {
  int status;
  int messageId;             // the update's own text, or 0
  std::string_view meaning;  // where it has none
};

constexpr Ending kEndings[] = {
    {kExitCompleted, IDS_UPDATE_COMPLETED, {}},
    {kExitStoppedByDevice, 0, "the device stopped the update (its status 255)"},
    {kExitWrongCommandLine, 0, "a wrong command line"},
    {kExitNoSuchPort, 0, "no port has that name or key, or none the usual name"},
    {kExitSeveralPorts, 0, "a name that fits several ports"},
    {kExitAllCopiesRunning, 0, "all 20 copies of the updater are running"},
    {kExitAnotherCopysDevice, 0, "the device is that of another running copy"},
    {kExitTestImagesDeclined, 0, "test images not confirmed"},
    {kExitOutputNotOpened, 0, kMidiOutOpenFailed},
    {kExitInputNotOpened, IDS_CANT_OPEN_MIDI_IN, {}},
    {kExitNotStarted, IDS_CANT_START_UPDATE, {}},
    {kExitTimeoutIdentity, IDS_TIMEOUT_IDENTITY, {}},
    {kExitTimeoutChunk, IDS_TIMEOUT_CHUNK, {}},
    {kExitTimeoutErase, IDS_TIMEOUT_ERASE, {}},
    {kExitIllegalDevice, IDS_ILLEGAL_DEVICE, {}},
    {kExitNotInVersionUpMode, IDS_SET_VERSIONUP_MODE, {}},
    {kExitTransferError, IDS_TRANSFER_ERROR, {}},
};

std::string_view meaningOf(const Ending& ending) {
  return ending.messageId != 0 ? loadString(ending.messageId) : ending.meaning;
}

}  // namespace

int exitStatusOfEnding(int messageId) {
  if (messageId == 0) return kExitStoppedByDevice;
  for (const Ending& ending : kEndings) {
    if (ending.messageId == messageId) return ending.status;
  }
  return kExitTransferError;
}

int exitStatusOfBox(std::string_view text) {
  for (const Ending& ending : kEndings) {
    if (meaningOf(ending) == text) return ending.status;
  }
  return kExitNotStarted;
}

std::string exitStatusText() {
  std::string text = "\nExit status:\n";
  for (const Ending& ending : kEndings) {
    char status[16];
    std::snprintf(status, sizeof status, "  %-4d", ending.status);
    text += status + std::string(meaningOf(ending)) + "\n";
  }
  return text + "  128+N stopped by signal N (130: SIGINT, 143: SIGTERM)\n";
}

}  // namespace rt88h::cli
