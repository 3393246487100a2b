// rt88h-update: the updater window's update, from a terminal.
#include <cstdio>
#include <string>

#include "app/cli/exit_status.h"
#include "app/cli/options.h"
#include "app/cli/terminal_loop.h"
#include "app/cli/terminal_update.h"
#include "app/cli/terminal_view.h"
#include "app/core/command_line.h"
#include "app/core/updator_dlg_core.h"
#ifdef RT88H_HAVE_LOGIND
#include "app/logind/logind_inhibitor.h"
#endif

int main(int argc, char** argv) {
  using namespace rt88h;
  cli::prepareConsole();
  const std::string program = app::programName(argc > 0 ? argv[0] : nullptr);
  cli::Options options;
  std::string error;
  switch (cli::parseOptions(argc, argv, options, &error)) {
    case app::CommandLineRequest::Run: break;
    case app::CommandLineRequest::Help: std::fputs(cli::usage(program).c_str(), stdout); return 0;
    case app::CommandLineRequest::Version:
      std::fputs(app::versionText(program).c_str(), stdout);
      return 0;
    case app::CommandLineRequest::Wrong:
      std::fputs(app::wrongCommandLineText(program, error).c_str(), stderr);
      return cli::kExitWrongCommandLine;
  }
  const cli::Output output = options.json              ? cli::Output::Json
                             : cli::isTerminal(stdout) ? cli::Output::Line
                                                       : cli::Output::Plain;
  cli::TerminalLoop loop;
  cli::TerminalView view(loop, output, options.yes);
#ifdef RT88H_HAVE_LOGIND
  app::LogindInhibitor inhibitor(program);
  app::UpdatorDlgCore core(view, loop, inhibitor);
#else
  app::UpdatorDlgCore core(view, loop);
#endif
  const int status = cli::runTerminalUpdate(options, core, view, loop);
  core.shutDown();
  loop.drain();
  view.showExit(status);
  return status;
}
