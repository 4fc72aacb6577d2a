#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/Gui.h"

namespace {

RECT WindowRect(HWND window) {
  RECT rect{};
  ::GetWindowRect(window, &rect);
  return rect;
}

std::string ClipboardText() {
  std::string text;
  if (!::OpenClipboard(nullptr)) return text;
  if (HANDLE data = ::GetClipboardData(CF_TEXT)) {
    if (const char* bytes = static_cast<const char*>(::GlobalLock(data))) {
      text = bytes;
      ::GlobalUnlock(data);
    }
  }
  ::CloseClipboard();
  return text;
}

// A sign-in's prompt of several lines heightens the status window by its
// lines and widens it, within the screen however long a line; a text of one
// line gives the window its own size back. The code goes to the clipboard.
TEST(StatusWindow, FitsATextOfSeveralLinesOnTheScreen) {
  const std::string prompt =
      "To sign in, open this address in a browser:\rhttps://microsoft.example/devicelogin\rand enter this code:\r"
      "WDJB-MJHT\r(valid for 15 minutes). mailshot waits until the sign-in is done.";
  // Each taller than the one before: the last wraps its address to more lines still.
  const std::string texts[] = {
      prompt,
      prompt + "\r6\r7\r8\r9\r10",
      prompt + "\r6\r7\r8\r9\r10\rhttps://login.example/device?otc=" + std::string(400, 'x'),
  };
  platform::RunStatusWindow([&] {
    platform::RequestClose();  // once the checks are done, however they end
    HWND window = ::FindWindowA("TForm1", nullptr);
    ASSERT_NE(window, nullptr);
    RECT workArea{};
    ASSERT_TRUE(::SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0));
    platform::SetStatusText("Connecting");
    const RECT own = WindowRect(window);
    LONG lastHeight = own.bottom - own.top;
    for (const std::string& text : texts) {
      SCOPED_TRACE(text);
      platform::SetStatusText(text);
      const RECT grown = WindowRect(window);
      EXPECT_GT(grown.bottom - grown.top, lastHeight);
      EXPECT_GT(grown.right - grown.left, own.right - own.left);
      RECT onScreen{};
      ::IntersectRect(&onScreen, &grown, &workArea);
      EXPECT_TRUE(::EqualRect(&onScreen, &grown));
      lastHeight = grown.bottom - grown.top;
    }
    platform::SetStatusText("Connecting");
    const RECT back = WindowRect(window);
    EXPECT_EQ(back.right - back.left, own.right - own.left);
    EXPECT_EQ(back.bottom - back.top, own.bottom - own.top);
    EXPECT_TRUE(platform::CopyToClipboard("WDJB-MJHT"));
    EXPECT_EQ(ClipboardText(), "WDJB-MJHT");
  });
}

}  // namespace
