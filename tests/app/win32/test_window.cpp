// The real programs under Wine, seen and driven from outside as a user would: windows found by
// process, keys posted to the window's queue, controls read with their own messages.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/core/about_text.h"
#include "app/core/dialog_ids.h"
#include "app/core/instance_name.h"
#include "app/win32/shutdown_block.h"
#include "app/win32/text.h"
#include "resources/string_table.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using rt88h::win32::narrow;
using rt88h::win32::wide;

// Polls until `done` holds or `limit` has passed.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    Sleep(20);
  }
  return true;
}

long long millisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::wstring program(const char* variable) {
  const char* path = std::getenv(variable);
  if (path == nullptr || *path == 0) return {};
  std::wstring result = wide(path);
  if (result.front() == L'/') result.insert(0, L"Z:");  // Wine's drive for the host's root
  for (wchar_t& c : result) c = c == L'/' ? L'\\' : c;
  return result;
}

class Process {
 public:
  explicit Process(const std::wstring& exe) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring command = L"\"" + exe + L"\"";
    started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &info) != 0;
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() {
    if (!started) return;
    if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info.hProcess, 9);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  bool ok() const { return started; }
  DWORD id() const { return info.dwProcessId; }
  bool ended(std::chrono::milliseconds limit) const {
    return WaitForSingleObject(info.hProcess, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
  }
  DWORD exitCode() const {
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    return code;
  }

 private:
  PROCESS_INFORMATION info{};
  bool started = false;
};

std::wstring text(HWND window) {
  wchar_t buffer[512] = {};
  DWORD_PTR length = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer), SMTO_BLOCK, 5000,
                      &length);
  return buffer;
}

// The visible dialogs (#32770) of a process, with their titles.
std::vector<HWND> dialogsOf(DWORD process) {
  struct Search {
    DWORD process;
    std::vector<HWND> found;
  } search{process, {}};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t className[16] = {};
        GetClassNameW(window, className, 16);
        if (owner == s->process && IsWindowVisible(window) &&
            std::wstring(className) == L"#32770") {
          s->found.push_back(window);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The first visible dialog of the process that `wanted` takes; nullptr after `limit`.
HWND dialogWhere(DWORD process, const std::function<bool(HWND)>& wanted,
                 std::chrono::milliseconds limit) {
  HWND found = nullptr;
  waitUntil(
      [&] {
        for (HWND window : dialogsOf(process)) {
          if (found == nullptr && wanted(window)) found = window;
        }
        return found != nullptr;
      },
      limit);
  return found;
}

HWND dialogTitled(DWORD process, const std::wstring& title, std::chrono::milliseconds limit) {
  return dialogWhere(
      process, [&](HWND window) { return text(window) == title; }, limit);
}

// The key as the window's own message loop gets it, to the control that has the focus.
void press(HWND dialog, WPARAM key) {
  GUITHREADINFO thread{};
  thread.cbSize = sizeof thread;
  HWND target = dialog;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &thread) &&
      thread.hwndFocus != nullptr) {
    target = thread.hwndFocus;
  }
  PostMessageW(target, WM_KEYDOWN, key, 1);
  PostMessageW(target, WM_KEYUP, key, 0xC0000001);
}

void focus(HWND dialog, int id) {
  PostMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, id)), TRUE);
}

std::wstring stringW(int id) {
  return wide(rt88h::loadString(id));
}

// Every control of a dialog lies inside it, and every line of its text, in the templates' font
// at the session's scale (wine-gui-run's RT88H_WINE_GUI_DPI), inside the control.
void expectLaidOut(HWND dialog) {
  const char* scale = std::getenv("RT88H_WINE_GUI_DPI");
  const int dpi = scale != nullptr && *scale != 0 ? std::atoi(scale) : 96;
  // Coordinates as the program has them, not scaled to this program's own DPI.
  SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  EXPECT_EQ(GetDpiForWindow(dialog), static_cast<UINT>(dpi)) << "not at the display's scale";
  HFONT font = CreateFontW(-MulDiv(9, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                           DEFAULT_CHARSET, 0, 0, 0, 0, L"MS UI Gothic");
  HDC dc = CreateCompatibleDC(nullptr);
  SelectObject(dc, font);
  RECT area{};
  GetClientRect(dialog, &area);
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    RECT box{};
    GetWindowRect(child, &box);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&box), 2);
    const std::string name = std::to_string(GetDlgCtrlID(child)) + " " + narrow(text(child));
    EXPECT_TRUE(box.left >= 0 && box.top >= 0 && box.right <= area.right &&
                box.bottom <= area.bottom)
        << name;
    RECT inside{};
    GetClientRect(child, &inside);
    const std::wstring lines = text(child);
    for (std::size_t start = 0; start < lines.size();) {
      const std::size_t end = std::min(lines.find(L"\r\n", start), lines.size());
      SIZE extent{};
      GetTextExtentPoint32W(dc, lines.c_str() + start, static_cast<int>(end - start), &extent);
      EXPECT_LE(extent.cx, inside.right) << name;
      start = end + 2;
    }
  }
  DeleteDC(dc);
  DeleteObject(font);
}

// What the window answers when the session is about to end: TRUE lets it end.
LRESULT queryEndSession(HWND window) {
  DWORD_PTR answer = 0;
  SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_BLOCK, 5000, &answer);
  return static_cast<LRESULT>(answer);
}

// The stop question of the process, once it is up; nullptr after 20 s.
HWND stopQuestion(DWORD process, HWND main) {
  const std::wstring question = stringW(rt88h::IDS_STOP_UPDATE_QUESTION);
  return dialogWhere(
      process, [&](HWND w) { return w != main && text(GetDlgItem(w, 0xFFFF)) == question; }, 20s);
}

// The demo, up with its window (copy 1).
class Win32Window : public testing::Test {
 protected:
  void SetUp() override {
    const std::wstring demo = program("RT88H_DEMO_EXE");
    ASSERT_FALSE(demo.empty()) << "RT88H_DEMO_EXE names no program";
    process = std::make_unique<Process>(demo);
    ASSERT_TRUE(process->ok());
    window = dialogTitled(process->id(), wide(rt88h::app::instanceName(1)), 60s);
    ASSERT_NE(window, nullptr);
  }
  // The About box by the system menu's command; nullptr when it does not come.
  HWND openAbout() {
    PostMessageW(window, WM_SYSCOMMAND, 0x10, 0);
    return dialogTitled(process->id(), stringW(rt88h::IDS_ABOUT_TITLE), 20s);
  }
  // Execute by Enter; true once the data is on its way.
  bool startUpdate() {
    press(window, VK_RETURN);
    const std::wstring transmit = stringW(rt88h::IDS_DATA_TRANSMIT).substr(0, 13);
    return waitUntil(
        [&] { return text(GetDlgItem(window, IDC_STATUS_TEXT)).starts_with(transmit); }, 60s);
  }
  std::unique_ptr<Process> process;
  HWND window = nullptr;
};

TEST_F(Win32Window, ControlsAboutBoxAndEnterOnFocusedButtons) {
  expectLaidOut(window);
  for (int id : {IDOK, IDCANCEL, IDC_IN_LIST, IDC_OUT_LIST, IDC_PROGRESS, IDC_STATUS_TEXT,
                 IDC_RESCAN_DEVICE, IDC_PICTURE, IDC_STEP_TEXT}) {
    EXPECT_NE(GetDlgItem(window, id), nullptr) << id;
  }
  EXPECT_EQ(text(GetDlgItem(window, IDOK)), stringW(rt88h::IDS_EXECUTE));

  const HWND about = openAbout();
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(text(GetDlgItem(about, IDC_ABOUT_TITLE)), wide(rt88h::kProductTitle));
  expectLaidOut(about);  // a line each, in CR LF: as a single line it would not fit
  // The whole digests as text that Tab reaches and that can be selected and copied.
  const HWND digests = GetDlgItem(about, IDC_ABOUT_DIGESTS);
  std::wstring shown = text(digests);
  std::erase(shown, L'\r');
  EXPECT_EQ(shown, wide(rt88h::app::aboutImagesDigests()));
  EXPECT_EQ(GetWindowLongW(digests, GWL_STYLE) & (WS_TABSTOP | ES_READONLY | WS_DISABLED),
            WS_TABSTOP | ES_READONLY);
  press(about, VK_RETURN);
  EXPECT_TRUE(waitUntil([&] { return !IsWindow(about); }, 20s));

  focus(window, IDC_RESCAN_DEVICE);
  press(window, VK_RETURN);        // rescans: neither an update nor a close
  const HWND again = openAbout();  // posted after the key: once it is up, the key was taken
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDOK)));
  EXPECT_EQ(text(GetDlgItem(window, IDC_STATUS_TEXT)), L"");
  EXPECT_NE(SendMessageW(GetDlgItem(window, IDC_OUT_LIST), CB_GETCURSEL, 0, 0), CB_ERR);
  press(again, VK_ESCAPE);
  EXPECT_TRUE(waitUntil([&] { return !IsWindow(again); }, 20s));

  focus(window, IDCANCEL);
  const auto closed = Clock::now();
  press(window, VK_RETURN);
  ASSERT_TRUE(process->ended(20s));
  std::printf("closed while idle: ended after %lld ms\n", millisecondsSince(closed));
  EXPECT_EQ(process->exitCode(), 0u);
}

// During an update Escape does nothing, the session may not end, and the close box asks: its
// No (Enter, Escape) keeps the update going, its Yes ends the program promptly and quietly.
TEST_F(Win32Window, CloseDuringUpdateAsksAndYesEndsQuietlyAndPromptly) {
  EXPECT_EQ(queryEndSession(window), TRUE);
  ASSERT_TRUE(startUpdate());
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDOK)));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDC_RESCAN_DEVICE)));
  EXPECT_EQ(queryEndSession(window), FALSE);

  press(window, VK_ESCAPE);
  for (const WPARAM answer : {VK_RETURN, VK_ESCAPE}) {
    PostMessageW(window, WM_CLOSE, 0, 0);  // queued after the Escape: that has been taken
    const HWND box = stopQuestion(process->id(), window);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(dialogsOf(process->id()).size(), 2u);
    press(box, answer);
    EXPECT_TRUE(waitUntil([&] { return !IsWindow(box); }, 20s)) << answer;
  }
  EXPECT_FALSE(process->ended(0ms));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDOK)));

  PostMessageW(window, WM_COMMAND, IDCANCEL, 0);  // Exit
  const HWND box = stopQuestion(process->id(), window);
  ASSERT_NE(box, nullptr);
  const auto yes = Clock::now();
  PostMessageW(box, WM_COMMAND, IDYES, 0);
  waitUntil([&] { return !IsWindow(window); }, 10s);
  const long long gone = millisecondsSince(yes);
  // A box would hold the process open: ending at all means none came.
  ASSERT_TRUE(process->ended(10s));
  const long long ms = millisecondsSince(yes);
  // Wine without a window manager takes about 2 s to hide each window (the box, then this one).
  std::printf("Yes during the update: window gone after %lld ms, ended after %lld ms\n", gone, ms);
  EXPECT_EQ(process->exitCode(), 0u);
}

// The calls are made and undone, as the thread's execution state shows (Wine keeps no shutdown
// reason to read back).
TEST(Win32ShutdownBlock, KeepsTheSystemAwakeUntilReleased) {
  const HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                      GetModuleHandleW(nullptr), nullptr);
  rt88h::win32::ShutdownBlock block;
  block.attach(window);
  block.take();
  EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED),
            static_cast<EXECUTION_STATE>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
  block.release();
  EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), static_cast<EXECUTION_STATE>(ES_CONTINUOUS));
  DestroyWindow(window);
}

TEST_F(Win32Window, WholeUpdateCompletes) {
  const auto started = Clock::now();
  ASSERT_TRUE(startUpdate());
  PostMessageW(window, WM_COMMAND, IDCANCEL, 0);  // Exit asks; No lets the update go on
  const HWND question = stopQuestion(process->id(), window);
  ASSERT_NE(question, nullptr);
  press(question, VK_RETURN);
  ASSERT_TRUE(waitUntil([&] { return !IsWindow(question); }, 20s));
  const std::wstring completed = stringW(rt88h::IDS_UPDATE_COMPLETED);
  std::size_t boxes = 0;
  const bool done = waitUntil(
      [&] {
        boxes = std::max(boxes, dialogsOf(process->id()).size());
        return text(GetDlgItem(window, IDC_STATUS_TEXT)) == completed || boxes > 1;
      },
      300s);
  ASSERT_TRUE(done) << narrow(text(GetDlgItem(window, IDC_STATUS_TEXT)));
  ASSERT_EQ(boxes, 1u) << "a message box came up";
  std::printf("whole update: %lld s\n", millisecondsSince(started) / 1000);
  EXPECT_EQ(text(GetDlgItem(window, IDC_STEP_TEXT)), L"6/6");
  EXPECT_EQ(SendMessageW(GetDlgItem(window, IDC_PROGRESS), PBM_GETPOS, 0, 0),
            SendMessageW(GetDlgItem(window, IDC_PROGRESS), PBM_GETRANGE, FALSE, 0));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDOK)));
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDC_RESCAN_DEVICE)));
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDC_IN_LIST)));
  EXPECT_EQ(queryEndSession(window), TRUE);

  press(window, VK_ESCAPE);
  ASSERT_TRUE(process->ended(20s));
  EXPECT_EQ(process->exitCode(), 0u);
}

// Closing must end whatever box runs on the window's thread, or the modal run never returns.
TEST_F(Win32Window, ClosingEndsTheBoxesThatRun) {
  ASSERT_NE(openAbout(), nullptr);
  PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(process->ended(10s));

  // Without devices the output does not open: a box of the application's name.
  const std::wstring updater = program("RT88H_UPDATER_EXE");
  Process plain(updater);
  const HWND main = dialogTitled(plain.id(), wide(rt88h::app::instanceName(1)), 60s);
  ASSERT_NE(main, nullptr);
  const bool noOutputs = SendMessageW(GetDlgItem(main, IDC_OUT_LIST), CB_GETCOUNT, 0, 0) == 0;
  press(main, VK_RETURN);
  const HWND box = dialogWhere(
      plain.id(), [&](HWND w) { return w != main; }, 20s);
  ASSERT_NE(box, nullptr);
  const std::wstring said = text(GetDlgItem(box, 0xFFFF));
  std::printf("the box: \"%s\" (%s)\n", narrow(said).c_str(), narrow(text(box)).c_str());
  if (noOutputs) {
    EXPECT_EQ(said, wide(rt88h::kMidiOutOpenFailed));
    EXPECT_EQ(text(box), L"rt88h-updater");
  }
  PostMessageW(main, WM_CLOSE, 0, 0);
  ASSERT_TRUE(plain.ended(10s));
  EXPECT_EQ(plain.exitCode(), 0u);
}

TEST(Win32Instances, TwentyCopiesTakeOneToTwentyAndATwentyFirstIsRefused) {
  const std::wstring updater = program("RT88H_UPDATER_EXE");
  ASSERT_FALSE(updater.empty()) << "RT88H_UPDATER_EXE names no program";
  std::vector<std::unique_ptr<Process>> copies;
  for (int n = 1; n <= rt88h::kMaxInstances; ++n) {
    copies.push_back(std::make_unique<Process>(updater));
    ASSERT_TRUE(copies.back()->ok());
  }
  std::multiset<std::wstring> titles;
  const bool allUp = waitUntil(
      [&] {
        titles.clear();
        for (const auto& copy : copies) {
          for (HWND window : dialogsOf(copy->id())) titles.insert(text(window));
        }
        return titles.size() == copies.size();
      },
      180s);
  ASSERT_TRUE(allUp) << titles.size() << " windows";
  for (int n = 1; n <= rt88h::kMaxInstances; ++n) {
    EXPECT_EQ(titles.count(wide(rt88h::app::instanceName(n))), 1u) << n;
  }

  Process refused(updater);
  ASSERT_TRUE(refused.ok());
  const HWND box = dialogTitled(refused.id(), L"rt88h-updater", 60s);
  ASSERT_NE(box, nullptr);
  char expected[128];
  std::snprintf(expected, sizeof expected, std::string(rt88h::kTooManyInstancesFormat).c_str(),
                rt88h::kMaxInstances);
  bool saysWhy = false;
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    saysWhy = saysWhy || text(child) == wide(expected);
  }
  EXPECT_TRUE(saysWhy);
  press(box, VK_RETURN);
  ASSERT_TRUE(refused.ended(20s));
  EXPECT_EQ(refused.exitCode(), 0u);

  for (const auto& copy : copies) {
    EXPECT_FALSE(copy->ended(0ms));
    for (HWND window : dialogsOf(copy->id())) PostMessageW(window, WM_CLOSE, 0, 0);
  }
  for (const auto& copy : copies) EXPECT_TRUE(copy->ended(30s));
}

}  // namespace
