#include "platform/Gui.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Messages.h"

namespace platform {

namespace {

constexpr char kWindowClass[] = "TForm1";
constexpr char kPanelClass[] = "TPanel";
constexpr char kWindowCaption[] = "Send e-mail message...";
constexpr char kPanelFontFace[] = "MS Sans Serif";
// The window's stored geometry and panel font; sizes are pixels at 120 dpi.
constexpr int kDesignDpi = 120;
constexpr int kLeft = 286, kTop = 188;
constexpr int kClientWidth = 347, kClientHeight = 62;
constexpr int kPanelFontHeight = 12;
// A text of several lines (a sign-in's address and code) widens the window
// up to this, then wraps; the window stays within the screen's work area.
constexpr int kWidestClient = 900;
constexpr int kTextMargin = 12;
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
// Posted to the window once it is visible; runs the on-show work.
constexpr UINT kMsgShown = WM_APP + 1;

struct StatusWindowState {
  HWND window = nullptr;
  HWND panel = nullptr;
  HFONT panelFont = nullptr;
  const std::function<void()>* onShow = nullptr;
  bool closeRequested = false;
  int dpi = kDesignDpi;
};

StatusWindowState& State() {
  static StatusWindowState state;
  return state;
}

int Scaled(int designPixels) { return ::MulDiv(designPixels, State().dpi, kDesignDpi); }

std::string PanelText(HWND panel) {
  std::string text(static_cast<size_t>(::GetWindowTextLengthA(panel)) + 1, '\0');
  text.resize(static_cast<size_t>(::GetWindowTextA(panel, text.data(), static_cast<int>(text.size()))));
  return text;
}

bool SeveralLines(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

/// text cut into the lines the panel shows, in the font selected into dc:
/// at each CR, LF or CR LF, and a line wider than width after the last
/// character that fits (a long address has no blank to break at).
std::vector<std::string> PanelLines(HDC dc, const std::string& text, int width) {
  std::vector<std::string> lines;
  for (size_t start = 0; start <= text.size();) {
    size_t end = std::min(text.find_first_of("\r\n", start), text.size());
    std::string_view line(text.data() + start, end - start);
    do {
      int fit = 0;
      SIZE size{};
      ::GetTextExtentExPointA(dc, line.data(), static_cast<int>(line.size()), width, &fit, nullptr, &size);
      const size_t taken = std::min(line.size(), static_cast<size_t>(std::max(fit, 1)));
      lines.emplace_back(line.substr(0, taken));
      line.remove_prefix(taken);
    } while (!line.empty());
    if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ++end;
    start = end + 1;
  }
  return lines;
}

int LineHeight(HDC dc) {
  TEXTMETRICA metrics{};
  ::GetTextMetricsA(dc, &metrics);
  return metrics.tmHeight;
}

// A lowered one-pixel bevel around the centred caption, on the button face;
// a caption of several lines is centred as a block, line by line.
void PaintPanel(HWND panel) {
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(panel, &paint);
  RECT area;
  ::GetClientRect(panel, &area);
  ::FillRect(dc, &area, ::GetSysColorBrush(COLOR_BTNFACE));
  ::DrawEdge(dc, &area, BDR_SUNKENOUTER, BF_RECT);
  const std::string text = PanelText(panel);
  HGDIOBJ oldFont = ::SelectObject(dc, State().panelFont);
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, ::GetSysColor(COLOR_BTNTEXT));
  if (SeveralLines(text)) {
    const std::vector<std::string> lines = PanelLines(dc, text, area.right - 2 * Scaled(kTextMargin));
    const int height = LineHeight(dc);
    RECT row{area.left, std::max<LONG>(area.top, (area.bottom - height * static_cast<LONG>(lines.size())) / 2),
             area.right, 0};
    for (const std::string& line : lines) {
      row.bottom = row.top + height;
      ::DrawTextA(dc, line.data(), static_cast<int>(line.size()), &row, DT_CENTER | DT_SINGLELINE | DT_NOPREFIX);
      row.top = row.bottom;
    }
  } else {
    ::DrawTextA(dc, text.data(), static_cast<int>(text.size()), &area,
                DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  }
  ::SelectObject(dc, oldFont);
  ::EndPaint(panel, &paint);
}

/// Moves and sizes the window to width x height, within the work area.
void PlaceWindow(HWND window, const RECT& workArea, int width, int height) {
  width = std::min<int>(width, workArea.right - workArea.left);
  height = std::min<int>(height, workArea.bottom - workArea.top);
  RECT now;
  ::GetWindowRect(window, &now);
  const int left = std::clamp<int>(now.left, workArea.left, workArea.right - width);
  const int top = std::clamp<int>(now.top, workArea.top, workArea.bottom - height);
  ::SetWindowPos(window, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

/// The window's size for text: its stored size for one line; for several,
/// as wide as the longest line needs (wrapping beyond kWidestClient) and as
/// high as the lines, within the work area, which it is moved into.
void FitWindowToText(StatusWindowState& state, const std::string& text) {
  SIZE client{Scaled(kClientWidth), Scaled(kClientHeight)};
  RECT workArea;
  if (!::SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0)) return;
  if (SeveralLines(text)) {
    const int margins = 2 * Scaled(kTextMargin);
    HDC dc = ::GetDC(state.panel);
    HGDIOBJ oldFont = ::SelectObject(dc, state.panelFont);
    const int widest = std::min<int>(Scaled(kWidestClient), workArea.right - workArea.left - 2 * margins);
    const std::vector<std::string> lines = PanelLines(dc, text, widest);
    for (const std::string& line : lines) {
      SIZE size{};
      ::GetTextExtentPoint32A(dc, line.data(), static_cast<int>(line.size()), &size);
      client.cx = std::max<LONG>(client.cx, size.cx + margins);
    }
    client.cy = std::max<LONG>(client.cy, LineHeight(dc) * static_cast<LONG>(lines.size()) + margins);
    ::SelectObject(dc, oldFont);
    ::ReleaseDC(state.panel, dc);
  }
  RECT frame{0, 0, client.cx, client.cy};
  ::AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
  PlaceWindow(state.window, workArea, frame.right - frame.left, frame.bottom - frame.top);
  // The frame drawn may differ from the one computed (Wine's does): the
  // client area must get the size asked for.
  RECT got;
  ::GetClientRect(state.window, &got);
  if (got.right != client.cx || got.bottom != client.cy) {
    PlaceWindow(state.window, workArea, frame.right - frame.left + client.cx - got.right,
                frame.bottom - frame.top + client.cy - got.bottom);
  }
}

LRESULT CALLBACK PanelProc(HWND panel, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT:
      PaintPanel(panel);
      return 0;
    case WM_SETTEXT: {
      const LRESULT result = ::DefWindowProcA(panel, message, wParam, lParam);
      ::InvalidateRect(panel, nullptr, TRUE);
      return result;
    }
    default:
      return ::DefWindowProcA(panel, message, wParam, lParam);
  }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  StatusWindowState& state = State();
  switch (message) {
    case kMsgShown:
      if (state.onShow != nullptr) (*state.onShow)();
      return 0;
    case WM_SIZE:
      if (state.panel != nullptr) ::MoveWindow(state.panel, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
      return 0;
    case WM_CLOSE:
      // Closing never interrupts the job; the loop ends when control is back in it.
      state.closeRequested = true;
      return 0;
    default:
      return ::DefWindowProcA(window, message, wParam, lParam);
  }
}

bool RegisterClasses(HINSTANCE instance) {
  WNDCLASSA windowClass{};
  if (!::GetClassInfoA(instance, kWindowClass, &windowClass)) {
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursor(nullptr, IDC_ARROW);
    windowClass.hIcon = ::LoadIcon(nullptr, IDI_APPLICATION);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    if (!::RegisterClassA(&windowClass)) return false;
  }
  WNDCLASSA panelClass{};
  if (!::GetClassInfoA(instance, kPanelClass, &panelClass)) {
    panelClass.lpfnWndProc = PanelProc;
    panelClass.hInstance = instance;
    panelClass.hCursor = ::LoadCursor(nullptr, IDC_ARROW);
    panelClass.lpszClassName = kPanelClass;
    if (!::RegisterClassA(&panelClass)) return false;
  }
  return true;
}

int ScreenDpi() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : kDesignDpi;
}

// Creates the window and its panel at the screen's resolution; false when
// the system refuses.
bool CreateStatusWindow(StatusWindowState& state) {
  HINSTANCE instance = ::GetModuleHandleA(nullptr);
  if (!RegisterClasses(instance)) return false;
  const int dpi = ScreenDpi();
  state.dpi = dpi;
  RECT frame{0, 0, Scaled(kClientWidth), Scaled(kClientHeight)};
  ::AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
  state.window = ::CreateWindowExA(0, kWindowClass, kWindowCaption, kWindowStyle, kLeft, kTop,
                                   frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance,
                                   nullptr);
  if (state.window == nullptr) return false;
  state.panelFont = ::CreateFontA(-Scaled(kPanelFontHeight), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                                  FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                  DEFAULT_PITCH | FF_DONTCARE, kPanelFontFace);
  RECT client;
  ::GetClientRect(state.window, &client);
  state.panel = ::CreateWindowExA(0, kPanelClass, "", WS_CHILD | WS_VISIBLE, 0, 0, client.right, client.bottom,
                                  state.window, nullptr, instance, nullptr);
  return state.panel != nullptr;
}

/// The box of ShowNoticeBox: a thread of its own shows it, so that its wait
/// for the user holds up nothing else.
struct NoticeBox {
  HANDLE thread = nullptr;
  DWORD threadId = 0;
  std::string caption;
  std::string text;
};

NoticeBox& Notice() {
  static NoticeBox notice;
  return notice;
}

DWORD WINAPI ShowNotice(void* box) {
  const auto& notice = *static_cast<const NoticeBox*>(box);
  ::MessageBoxA(nullptr, notice.text.c_str(), notice.caption.c_str(), MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
  return 0;
}

BOOL CALLBACK PressOk(HWND window, LPARAM) {
  ::PostMessageA(window, WM_COMMAND, IDOK, 0);
  return TRUE;
}

void DestroyStatusWindow(StatusWindowState& state) {
  if (state.window != nullptr) ::DestroyWindow(state.window);
  if (state.panelFont != nullptr) ::DeleteObject(state.panelFont);
  state = StatusWindowState{};
}

bool WriteWhole(HANDLE output, const std::string& text) {
  DWORD written = 0;
  return output != nullptr && output != INVALID_HANDLE_VALUE &&
         ::WriteFile(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}
}  // namespace

bool WriteToConsole(const std::string& text) {
  const std::string line = text + "\r\n";
  // Redirected output, or a console this process has.
  if (WriteWhole(::GetStdHandle(STD_OUTPUT_HANDLE), line)) return true;
  // A GUI program started from a console gets no usable handle of it:
  // borrow the console of the process that started this one, if it has one.
  if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return false;
  const HANDLE console = ::CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
  const bool complete = WriteWhole(console, line);
  if (console != INVALID_HANDLE_VALUE) ::CloseHandle(console);
  ::FreeConsole();
  return complete;
}

void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon) {
  const UINT iconFlag = icon == BoxIcon::kError ? MB_ICONSTOP : MB_ICONINFORMATION;
  ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | iconFlag | MB_TASKMODAL);
}

void ShowNoticeBox(const std::string& caption, const std::string& text) {
  CloseNoticeBox();
  // The status window tells it too, line by line, and keeps it once the box
  // is gone.
  SetStatusText(text);
  NoticeBox& notice = Notice();
  notice.caption = caption;
  notice.text = text;
  notice.thread = ::CreateThread(nullptr, 0, ShowNotice, &notice, 0, &notice.threadId);
  if (notice.thread == nullptr) ShowMessageBox(caption, text, BoxIcon::kInformation);  // then it waits after all
}

void CloseNoticeBox() {
  NoticeBox& notice = Notice();
  if (notice.thread == nullptr) return;
  // The box may not stand yet: press its button until its thread has ended.
  // Meanwhile, and once more after, this thread's messages are served: the
  // box's end moves the activation to the status window, which must have
  // happened before a box of this thread is shown, or that box would lose it.
  for (;;) {
    ::EnumThreadWindows(notice.threadId, PressOk, 0);
    const DWORD woken = ::MsgWaitForMultipleObjects(1, &notice.thread, FALSE, 10, QS_ALLINPUT);
    PumpMessages();
    if (woken == WAIT_OBJECT_0) break;
  }
  PumpMessages();
  ::CloseHandle(notice.thread);
  notice.thread = nullptr;
}

bool OpenInBrowser(const std::string& url) {
  // ShellExecute's result above 32 means success.
  return reinterpret_cast<INT_PTR>(::ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL)) > 32;
}

void RunStatusWindow(const std::function<void()>& onShow) {
  StatusWindowState& state = State();
  if (!CreateStatusWindow(state)) {
    // Without a window the job still runs; its boxes need no owner.
    DestroyStatusWindow(state);
    onShow();
    return;
  }
  state.onShow = &onShow;
  ::ShowWindow(state.window, SW_SHOWNORMAL);
  ::UpdateWindow(state.window);
  ::PostMessageA(state.window, kMsgShown, 0, 0);
  MSG message;
  while (!state.closeRequested && ::GetMessageA(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
  DestroyStatusWindow(state);
}

void SetStatusText(const std::string& text) {
  StatusWindowState& state = State();
  if (state.panel == nullptr) return;
  const bool resize = SeveralLines(text) || SeveralLines(PanelText(state.panel));
  ::SetWindowTextA(state.panel, text.c_str());
  if (resize) FitWindowToText(state, text);
}

bool CopyToClipboard(const std::string& text) {
  // Without an owner window the clipboard takes no data.
  StatusWindowState& state = State();
  if (state.window == nullptr || !::OpenClipboard(state.window)) return false;
  bool copied = false;
  if (::EmptyClipboard()) {
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    if (void* bytes = memory != nullptr ? ::GlobalLock(memory) : nullptr) {
      std::memcpy(bytes, text.c_str(), text.size() + 1);
      ::GlobalUnlock(memory);
      copied = ::SetClipboardData(CF_TEXT, memory) != nullptr;
    }
    // Once set, the memory is the clipboard's.
    if (!copied && memory != nullptr) ::GlobalFree(memory);
  }
  ::CloseClipboard();
  return copied;
}

void ShowProgress(const std::string& text) { SetStatusText(text); }

void RequestClose() { State().closeRequested = true; }

bool WindowStationVisible() {
  USEROBJECTFLAGS flags{};
  // A station whose flags cannot be read counts as seen: boxes as before.
  if (!::GetUserObjectInformationA(::GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, nullptr)) return true;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Sixty lines made a box 1,512 pixels tall, its button off a 768-line screen.
std::size_t BoxListRoom() { return 10; }

void EndProcess(int exitCode) { ::ExitProcess(static_cast<UINT>(exitCode)); }

}  // namespace platform
