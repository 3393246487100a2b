// instance_holder.exe N READY: holds copy N's instance name as a running rt88h-updater.exe does,
// creates the file READY, and lets go when its input ends.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "app/core/instance_name.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const HANDLE name =
      CreateMutexA(nullptr, TRUE, rt88h::app::instanceName(std::atoi(argv[1])).c_str());
  if (name == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) return 1;
  std::FILE* ready = std::fopen(argv[2], "w");
  if (ready == nullptr) return 1;
  std::fclose(ready);
  while (std::getchar() != EOF) {
  }
  CloseHandle(name);
  return 0;
}
