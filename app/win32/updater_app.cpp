#include "app/win32/updater_app.h"

#include <commctrl.h>

#include <cstdio>

#include "app/win32/text.h"
#include "app/win32/updater_window.h"
#include "resources/string_table.h"

namespace rt88h::win32 {

std::wstring applicationName() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name(path, length);
  if (const auto slash = name.find_last_of(L"\\/"); slash != std::wstring::npos) {
    name.erase(0, slash + 1);
  }
  if (const auto dot = name.rfind(L'.'); dot != std::wstring::npos) name.erase(dot);
  return name;
}

int showAnswer(const app::CommandLineAnswer& answer) {
  const bool toError = !answer.err.empty();
  const std::string& text = toError ? answer.err : answer.out;
  const std::wstring wideText = wide(text);
  HANDLE handle = GetStdHandle(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if ((handle == nullptr || handle == INVALID_HANDLE_VALUE) &&
      AttachConsole(ATTACH_PARENT_PROCESS)) {
    handle = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  }
  DWORD mode = 0;
  DWORD written = 0;
  const bool shown =
      handle != nullptr && handle != INVALID_HANDLE_VALUE &&
      (GetConsoleMode(handle, &mode)
           ? WriteConsoleW(handle, wideText.c_str(), static_cast<DWORD>(wideText.size()), &written,
                           nullptr)
           : WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
  if (!shown) {
    MessageBoxW(nullptr, wideText.c_str(), applicationName().c_str(),
                MB_OK | (toError ? MB_ICONERROR : MB_ICONINFORMATION));
  }
  return answer.exitStatus;
}

bool CLumoUpdatorApp::chooseInstanceNumber() {
  instanceNumber = app::takeInstanceNumber(instanceMutex);
  return instanceNumber != 0;
}

bool CLumoUpdatorApp::InitInstance() {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), 0xFF};
  InitCommonControlsEx(&controls);
  if (instanceNumber == 0 && !chooseInstanceNumber()) {
    char text[128];
    std::snprintf(text, sizeof text, std::string(kTooManyInstancesFormat).c_str(), kMaxInstances);
    MessageBoxW(nullptr, wide(text).c_str(), applicationName().c_str(), MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  CLumoUpdatorDlg window(instanceNumber, simulatedDevice);
  window.DoModal();
  window.waitForUpdate();
  return false;
}

}  // namespace rt88h::win32
