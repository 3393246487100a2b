#include "app/win32/updater_window.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/core/about_text.h"
#include "app/core/dialog_ids.h"
#include "app/core/dialog_templates.h"
#include "app/win32/text.h"
#include "app/win32/updater_app.h"
#include "protocol/flash_plan.h"
#include "resources/string_table.h"

namespace rt88h::win32 {

namespace {

std::wstring stringW(int id) {
  return wide(loadString(id));
}

HINSTANCE module() {
  return GetModuleHandleW(nullptr);
}

int controlId(app::Control control) {
  constexpr int ids[] = {IDC_IN_LIST, IDC_OUT_LIST, IDOK, IDC_RESCAN_DEVICE};
  return ids[static_cast<int>(control)];
}

int listId(app::DeviceList list) {
  return list == app::DeviceList::In ? IDC_IN_LIST : IDC_OUT_LIST;
}

// The box now being created by this thread's MessageBoxW, caught so that it can be ended.
thread_local HHOOK boxHook = nullptr;
thread_local HWND* boxSlot = nullptr;

LRESULT CALLBACK catchBox(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND && boxSlot != nullptr && *boxSlot == nullptr) {
    const HWND created = reinterpret_cast<HWND>(wParam);
    wchar_t className[16] = {};
    GetClassNameW(created, className, 16);
    if (std::wstring_view(className) == L"#32770") *boxSlot = created;
  }
  return CallNextHookEx(boxHook, code, wParam, lParam);
}

// The window whose Escape the thread's message hook filters.
thread_local CLumoUpdatorDlg* escapeFilter = nullptr;

LRESULT CALLBACK filterKeys(int code, WPARAM removed, LPARAM lParam) {
  auto* message = reinterpret_cast<MSG*>(lParam);
  if (code == HC_ACTION && removed == PM_REMOVE && message->message == WM_KEYDOWN &&
      message->wParam == VK_ESCAPE && escapeFilter != nullptr &&
      escapeFilter->filterEscapeKey(message->hwnd)) {
    message->message = WM_NULL;
  }
  return CallNextHookEx(nullptr, code, removed, lParam);
}

// At the window's own scale, which may change as it moves to another monitor.
int metricOf(HWND window, int metric) {
  return GetSystemMetricsForDpi(metric, GetDpiForWindow(window));
}

HICON loadAppIcon(HWND window, int sizeMetric) {
  const int side = metricOf(window, sizeMetric);
  return static_cast<HICON>(LoadImageW(module(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, side,
                                       side, LR_DEFAULTCOLOR));
}

// An edit's lines end in CR LF.
std::wstring editLines(std::string_view text) {
  std::wstring lines;
  for (const wchar_t c : wide(text)) {
    if (c == L'\n') lines += L'\r';
    lines += c;
  }
  return lines;
}

}  // namespace

CLumoUpdatorDlg::CLumoUpdatorDlg(int instanceNumber, std::string simulatedDevice)
    : instance(instanceNumber), simulated(std::move(simulatedDevice)) {}

CLumoUpdatorDlg::~CLumoUpdatorDlg() {
  core.shutDown();
  if (bigIcon != nullptr) DestroyIcon(bigIcon);
  if (smallIcon != nullptr) DestroyIcon(smallIcon);
}

INT_PTR CLumoUpdatorDlg::DoModal() {
  return DialogBoxParamW(module(), MAKEINTRESOURCEW(IDD_LUMO_UPDATOR_DIALOG), nullptr, dialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CLumoUpdatorDlg::dialogProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CLumoUpdatorDlg*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    self->dialog = window;
    self->OnInitDialog();
    return TRUE;  // the focus goes to the first control in tab order, Execute
  }
  auto* self = reinterpret_cast<CLumoUpdatorDlg*>(GetWindowLongPtrW(window, DWLP_USER));
  return self != nullptr ? self->handle(message, wParam, lParam) : FALSE;
}

INT_PTR CLumoUpdatorDlg::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case MessageForwarder::kRunMessage: forwarder.runPending(); return TRUE;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) != app::kAboutCommand) return FALSE;
      core.OnSysCommand(static_cast<int>(wParam));
      return TRUE;
    case WM_PAINT:
      if (!IsIconic(dialog)) return FALSE;
      OnPaint();
      return TRUE;
    case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(bigIcon);
    case WM_DPICHANGED:
      setIcons();
      return FALSE;  // the dialog manager scales the dialog, its controls and their fonts
    case WM_CTLCOLORSTATIC:
      if (badge == nullptr || reinterpret_cast<HWND>(lParam) != badge) return FALSE;
      SetTextColor(reinterpret_cast<HDC>(wParam), badgeColour);
      SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
      return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
    case WM_CLOSE: OnClose(app::CloseRequest::Exit); return TRUE;
    case WM_QUERYENDSESSION:
      SetWindowLongPtrW(dialog, DWLP_MSGRESULT, core.mayEndSession() ? TRUE : FALSE);
      return TRUE;
    case WM_ENDSESSION:
      if (wParam != FALSE) OnClose(app::CloseRequest::Terminate);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:  // Execute, and Enter wherever a button has not taken it
          core.OnOK();
          return TRUE;
        case IDCANCEL:  // Exit, and Escape once filterEscapeKey() let it through
          OnClose(app::CloseRequest::Exit);
          return TRUE;
        case IDC_RESCAN_DEVICE:
          if (HIWORD(wParam) == BN_CLICKED) core.OnRescanDevice();
          return TRUE;
        default: return FALSE;
      }
    case WM_DESTROY:
      if (!core.destroyed()) core.OnDestroy();
      forwarder.detach();
      if (keyHook != nullptr) UnhookWindowsHookEx(keyHook);
      keyHook = nullptr;
      escapeFilter = nullptr;
      return FALSE;
    default: return FALSE;
  }
}

void CLumoUpdatorDlg::OnInitDialog() {
  forwarder.attach(dialog);
  shutdownBlock.attach(dialog);
  escapeFilter = this;
  keyHook = SetWindowsHookExW(WH_GETMESSAGE, filterKeys, nullptr, GetCurrentThreadId());
  SetDlgItemTextW(dialog, IDOK, stringW(IDS_EXECUTE).c_str());
  SetDlgItemTextW(dialog, IDCANCEL, stringW(IDS_EXIT).c_str());
  SetDlgItemTextW(dialog, IDC_RESCAN_DEVICE, stringW(IDS_RESCAN_DEVICE).c_str());
  // The two labels follow Exit in the template and have no ids of their own.
  const HWND inLabel = GetWindow(item(IDCANCEL), GW_HWNDNEXT);
  SetWindowTextW(inLabel, stringW(IDS_MIDI_IN_LABEL).c_str());
  SetWindowTextW(GetWindow(inLabel, GW_HWNDNEXT), stringW(IDS_MIDI_OUT_LABEL).c_str());

  if (HMENU systemMenu = GetSystemMenu(dialog, FALSE); systemMenu != nullptr) {
    const std::wstring about = stringW(IDS_ABOUTBOX);
    if (!about.empty()) {
      AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(systemMenu, MF_STRING, app::kAboutCommand, about.c_str());
    }
  }
  setIcons();
  if (const auto mark = app::testImagesBadge()) addTestImagesBadge(*mark);
  core.OnInitDialog(instance, simulated);
}

void CLumoUpdatorDlg::setIcons() {
  const HICON oldBig = bigIcon;
  const HICON oldSmall = smallIcon;
  bigIcon = loadAppIcon(dialog, SM_CXICON);
  smallIcon = loadAppIcon(dialog, SM_CXSMICON);
  SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon));
  SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
  if (oldBig != nullptr) DestroyIcon(oldBig);
  if (oldSmall != nullptr) DestroyIcon(oldSmall);
}

void CLumoUpdatorDlg::addTestImagesBadge(const app::TestImagesBadge& mark) {
  const app::DialogControl& place =
      app::controlOf(IDD_LUMO_UPDATOR_DIALOG, app::ControlKind::Badge);
  RECT area{place.x, place.y, place.x + place.width, place.y + place.height};
  MapDialogRect(dialog, &area);
  badgeColour = RGB(mark.red, mark.green, mark.blue);
  badge = CreateWindowExW(0, L"STATIC", wide(mark.text).c_str(),
                          WS_CHILD | WS_VISIBLE | SS_CENTER | SS_CENTERIMAGE | SS_NOTIFY, area.left,
                          area.top, area.right - area.left, area.bottom - area.top, dialog, nullptr,
                          module(), nullptr);
  SendMessageW(badge, WM_SETFONT, SendMessageW(dialog, WM_GETFONT, 0, 0), FALSE);

  tooltip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, dialog,
                            nullptr, module(), nullptr);
  if (tooltip == nullptr) return;
  SendMessageW(tooltip, TTM_SETMAXTIPWIDTH, 0, 400);
  std::wstring risk = wide(mark.tooltip);
  for (HWND tool : {badge, item(IDOK)}) {
    TTTOOLINFOW info{};
    info.cbSize = TTTOOLINFOW_V2_SIZE;  // also understood by the common controls before 6
    info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    info.hwnd = dialog;
    info.uId = reinterpret_cast<UINT_PTR>(tool);
    info.lpszText = risk.data();
    SendMessageW(tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
  }
}

void CLumoUpdatorDlg::OnClose(app::CloseRequest request) {
  if (core.OnClose(request)) closeNow();
}

void CLumoUpdatorDlg::closeNow() {
  // Before the modal run ends: boxes still open on this thread must end first.
  if (!core.destroyed()) core.OnDestroy();
  EndDialog(dialog, IDCANCEL);
}

bool CLumoUpdatorDlg::filterEscapeKey(HWND target) {
  for (const OpenBox* box : openBoxes) {
    if (box->window == nullptr || (target != box->window && !IsChild(box->window, target))) {
      continue;
    }
    // A Yes/No box ignores Escape; a question here takes it as No.
    if (box->endCode == IDNO) EndDialog(box->window, IDNO);
    return box->endCode == IDNO;
  }
  const bool toWindow = target == dialog || IsChild(dialog, target);
  return toWindow && !core.OnClose(app::CloseRequest::Escape);
}

void CLumoUpdatorDlg::OnPaint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(dialog, &paint);
  SendMessageW(dialog, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(dialog, &client);
  const int x = (client.right - client.left - metricOf(dialog, SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - metricOf(dialog, SM_CYICON) + 1) / 2;
  if (bigIcon != nullptr) DrawIcon(dc, x, y, bigIcon);
  EndPaint(dialog, &paint);
}

void CLumoUpdatorDlg::showEntries(app::DeviceList list, const std::vector<std::string>& names) {
  const HWND combo = item(listId(list));
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  for (const std::string& name : names) {
    const std::wstring text = wide(name);
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
}

void CLumoUpdatorDlg::selectEntry(app::DeviceList list, int position) {
  SendMessageW(item(listId(list)), CB_SETCURSEL, static_cast<WPARAM>(position), 0);
}

int CLumoUpdatorDlg::selectedEntry(app::DeviceList list) const {
  return static_cast<int>(SendMessageW(item(listId(list)), CB_GETCURSEL, 0, 0));
}

void CLumoUpdatorDlg::enableControl(app::Control control, bool on) {
  EnableWindow(item(controlId(control)), on ? TRUE : FALSE);
}

// A disabled control keeps no focus: the keyboard would reach nothing, or Exit.
void CLumoUpdatorDlg::moveFocusOffGreyingControls() {
  const HWND focused = GetFocus();
  for (const int id : {IDC_IN_LIST, IDC_OUT_LIST, IDOK, IDC_RESCAN_DEVICE}) {
    const HWND control = item(id);
    if (focused == control || (focused != nullptr && IsChild(control, focused))) {
      SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item(IDC_STATUS_TEXT)), TRUE);
      return;
    }
  }
}

namespace {

// An edit repaints on every WM_SETTEXT, also with the text it has.
void showText(HWND edit, std::string_view text) {
  const std::wstring wanted = wide(text);
  std::wstring shown(static_cast<std::size_t>(GetWindowTextLengthW(edit)) + 1, L'\0');
  shown.resize(
      static_cast<std::size_t>(GetWindowTextW(edit, shown.data(), static_cast<int>(shown.size()))));
  if (shown != wanted) SetWindowTextW(edit, wanted.c_str());
}

}  // namespace

void CLumoUpdatorDlg::showStatusText(std::string_view text) {
  showText(item(IDC_STATUS_TEXT), text);
}

void CLumoUpdatorDlg::showStepText(std::string_view text) {
  showText(item(IDC_STEP_TEXT), text);
}

void CLumoUpdatorDlg::showProgress(int low, int high, int position) {
  const HWND bar = item(IDC_PROGRESS);
  SendMessageW(bar, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
  SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void CLumoUpdatorDlg::showTitle(std::string_view title) {
  SetWindowTextW(dialog, wide(title).c_str());
}

int CLumoUpdatorDlg::runTrackedBox(const std::wstring& text, const std::wstring& caption, UINT type,
                                   int endCode) {
  OpenBox box{nullptr, endCode};
  openBoxes.push_back(&box);
  HWND* const outerSlot = boxSlot;
  const HHOOK outerHook = boxHook;
  boxSlot = &box.window;
  boxHook = SetWindowsHookExW(WH_CBT, catchBox, nullptr, GetCurrentThreadId());
  const int result = MessageBoxW(dialog, text.c_str(), caption.c_str(), type);
  if (boxHook != nullptr) UnhookWindowsHookEx(boxHook);
  boxHook = outerHook;
  boxSlot = outerSlot;
  std::erase(openBoxes, &box);
  return result;
}

void CLumoUpdatorDlg::runMessageBox(std::string_view text, std::string_view caption,
                                    MessageIcon icon) {
  const UINT type = MB_OK | (icon == MessageIcon::Stop ? MB_ICONHAND : 0U);
  runTrackedBox(wide(text), caption.empty() ? applicationName() : wide(caption), type, IDOK);
}

bool CLumoUpdatorDlg::askTestImages() {
  const std::wstring text =
      stringW(IDS_TEST_IMAGES_RISK) + L"\n\n" + stringW(IDS_TEST_IMAGES_QUESTION);
  return runTrackedBox(text, applicationName(), MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2, IDNO) ==
         IDYES;
}

bool CLumoUpdatorDlg::askStopUpdate() {
  return runTrackedBox(stringW(IDS_STOP_UPDATE_QUESTION), applicationName(),
                       MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2, IDNO) == IDYES;
}

INT_PTR CALLBACK CLumoUpdatorDlg::aboutProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      reinterpret_cast<OpenBox*>(lParam)->window = window;
      SetWindowTextW(window, stringW(IDS_ABOUT_TITLE).c_str());
      SetDlgItemTextW(window, IDC_ABOUT_TITLE, wide(kProductTitle).c_str());
      SetDlgItemTextW(window, IDOK, stringW(IDS_OK).c_str());
      // The one-line text follows OK in the template.
      SetWindowTextW(GetWindow(GetDlgItem(window, IDOK), GW_HWNDNEXT),
                     wide(app::aboutLine()).c_str());
      SetDlgItemTextW(window, IDC_ABOUT_DIGESTS, editLines(app::aboutImagesDigests()).c_str());
      SetDlgItemTextW(window, IDC_ABOUT_LOGS, wide(app::supportLogLine()).c_str());
      SetFocus(GetDlgItem(window, IDOK));
      return FALSE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(window, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default: return FALSE;
  }
}

void CLumoUpdatorDlg::runAboutBox() {
  OpenBox box{nullptr, IDCANCEL};
  openBoxes.push_back(&box);
  DialogBoxParamW(module(), MAKEINTRESOURCEW(IDD_ABOUTBOX), dialog, aboutProc,
                  reinterpret_cast<LPARAM>(&box));
  std::erase(openBoxes, &box);
}

void CLumoUpdatorDlg::closeBoxes() {
  for (const OpenBox* box : std::vector<OpenBox*>(openBoxes.begin(), openBoxes.end())) {
    if (box->window != nullptr) EndDialog(box->window, box->endCode);
  }
}

}  // namespace rt88h::win32
