#pragma once
// How rt88h-update ends: one exit status per outcome, from one table.
#include <string>
#include <string_view>

namespace rt88h::cli {

enum ExitStatus : int {
  kExitCompleted = 0,
  kExitStoppedByDevice = 1,
  kExitWrongCommandLine = 2,
  kExitNoSuchPort = 3,
  kExitSeveralPorts = 4,
  kExitAllCopiesRunning = 5,
  kExitAnotherCopysDevice = 6,
  kExitTestImagesDeclined = 7,
  kExitOutputNotOpened = 10,
  kExitInputNotOpened = 11,
  kExitNotStarted = 12,
  kExitTimeoutIdentity = 20,
  kExitTimeoutChunk = 21,
  kExitTimeoutErase = 22,
  kExitIllegalDevice = 23,
  kExitNotInVersionUpMode = 24,
  kExitTransferError = 25,
  kExitSignalBase = 128,  // + the signal that stopped the update
};

// The exit status of an update that ended with the text of that id; 0 (stopped): 1.
int exitStatusOfEnding(int messageId);
// The exit status of a box shown before the update began (a port that would not open).
int exitStatusOfBox(std::string_view text);
// "Exit status:" and each status with its meaning, for --help.
std::string exitStatusText();

}  // namespace rt88h::cli
