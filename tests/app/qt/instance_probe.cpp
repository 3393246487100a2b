// Claims an instance number exactly as the updater does, prints it ("refused" when none is
// free) and keeps it until killed or until its standard input is closed.
#include <unistd.h>

#include <cstdio>

#include "app/qt/updater_app.h"

int main() {
  rt88h::app::CLumoUpdatorApp app;
  if (!app.chooseInstanceNumber()) {
    std::puts("refused");
    return 0;
  }
  std::printf("%d\n", app.getInstanceNumber());
  std::fflush(stdout);
  char byte;
  while (::read(STDIN_FILENO, &byte, 1) > 0) {
  }
  return 0;
}
