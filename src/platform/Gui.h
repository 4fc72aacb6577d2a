#pragma once
// The program's face: its one status window, the modal message boxes and the
// end of the process. On Windows these are a real window, MessageBoxA and
// ExitProcess; on POSIX the console stands in for them: nothing is drawn and
// nothing waits for a click.

#include <cstddef>
#include <functional>
#include <string>

namespace platform {

enum class BoxIcon { kError, kInformation };

/// Shows text in a modal box with caption and icon, owned by the application
/// rather than by the status window; returns when the user has dismissed it.
/// A CR in text breaks the line. On POSIX an error box writes text to
/// standard error and an information box to standard output, each ending
/// with a line break; control characters other than CR, LF and tab show
/// there as \xNN, and on a UTF-8 console the C1 controls as \u0080 to \u009f.
void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon);

/// Shows text in a box with caption and the information icon, like
/// ShowMessageBox, but without waiting: the call returns at once and the
/// work goes on while the box stands, until the user dismisses it or
/// CloseNoticeBox is called; the status window shows text meanwhile, line
/// by line, and after. One
/// such box at a time. On POSIX it writes text to standard output as an
/// information box does.
void ShowNoticeBox(const std::string& caption, const std::string& text);
/// Closes the box of ShowNoticeBox if it still stands, and returns once it
/// is gone; nothing when there is none.
void CloseNoticeBox();

/// Opens url in the user's default browser. True when that was done; false
/// where it failed, and on POSIX, where the console shows the address
/// instead (a scheduled job's machine may have no browser).
bool OpenInBrowser(const std::string& url);

/// Puts text on the clipboard, for the user to paste. True when that was
/// done; false without a status window, where the clipboard refused, and on
/// POSIX, which has none to reach.
bool CopyToClipboard(const std::string& text);

/// Writes text and a line end to the console: standard output when it is
/// open (on Windows also a console or file it was redirected to), else, on
/// Windows, the console of the process that started this one. False when
/// there is none or the write fails, so the caller can show a box instead.
bool WriteToConsole(const std::string& text);

/// Creates the status window, makes it visible, then calls onShow once and
/// runs the message loop until RequestClose was called; destroys the window
/// and returns. onShow must not raise. On POSIX onShow is simply called.
void RunStatusWindow(const std::function<void()>& onShow);

/// Makes text the status text centred in the window's panel (POSIX: one
/// line on standard error). Drawn at the next pump of messages. A CR or LF
/// breaks the line: the window then grows to show every line whole, within
/// the screen, and takes its own size again with the next text of one line.
void SetStatusText(const std::string& text);
/// Shows how far a long send got: in the status window's panel on Windows;
/// nowhere on POSIX, where /V shows it and a scheduled job stays silent.
void ShowProgress(const std::string& text);

/// Asks the message loop of RunStatusWindow to end once control is back in
/// it; running code is not interrupted, and repeated requests change nothing.
void RequestClose();

/// True when a person can see this process's windows and boxes: on Windows
/// its window station is visible (WSF_VISIBLE), which it is not for a
/// service or a task run whether or not a user is logged on; elsewhere
/// always (boxes are lines on the console there).
bool WindowStationVisible();

/// How many lines of a list a message box shows, so that it stays on a
/// 1024x768 screen with its button: 10 on Windows; on POSIX, where a box is
/// console text, every line (SIZE_MAX).
std::size_t BoxListRoom();

/// Ends the process with exitCode as its exit status.
[[noreturn]] void EndProcess(int exitCode);

}  // namespace platform
