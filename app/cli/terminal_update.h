#pragma once
// rt88h-update after its command line: the copy's number, the lists, the ports, the update.
#include "app/cli/options.h"
#include "app/cli/terminal_loop.h"
#include "app/cli/terminal_view.h"
#include "app/core/updator_dlg_core.h"

namespace rt88h::cli {

// The exit status (exit_status.h). Nothing is sent to a device before the ports are settled.
int runTerminalUpdate(const Options& options, app::UpdatorDlgCore& core, TerminalView& view,
                      TerminalLoop& loop);

}  // namespace rt88h::cli
