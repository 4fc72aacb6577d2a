#include "main/FormSurface.h"

#include <algorithm>
#include <chrono>
#include <string_view>

#include "platform/Gui.h"
#include "platform/Messages.h"

namespace {
constexpr std::string_view kErrorCaption = "Error";
constexpr std::string_view kInformationCaption = "Information";
}  // namespace

void TPlatformSurface::ShowBox(TBoxKind kind, const std::string& text) {
  if (kind == TBoxKind::Error) {
    platform::ShowMessageBox(std::string(kErrorCaption), text, platform::BoxIcon::kError);
  } else {
    platform::ShowMessageBox(std::string(kInformationCaption), text, platform::BoxIcon::kInformation);
  }
}

void TPlatformSurface::ShowNotice(const std::string& text) {
  // Without a console a box carries it, but only where someone can dismiss it.
  if (!platform::WriteToConsole(text) && Attended()) ShowBox(TBoxKind::Information, text);
}

void TPlatformSurface::ShowPrompt(const std::string& text) {
  platform::ShowNoticeBox(std::string(kInformationCaption), text);
}

void TPlatformSurface::ClosePrompt() { platform::CloseNoticeBox(); }

void TPlatformSurface::SetStatusText(const std::string& text) { platform::SetStatusText(text); }

void TPlatformSurface::ShowProgress(const std::string& text) { platform::ShowProgress(text); }

void TPlatformSurface::ProcessMessages() { platform::PumpMessages(); }

void TPlatformSurface::RequestClose() { platform::RequestClose(); }

void TPlatformSurface::Wait(std::uint32_t milliseconds) {
  using Clock = std::chrono::steady_clock;
  constexpr std::chrono::milliseconds kSlice(50);  // how soon the window is served
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    platform::PumpMessages();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return;
    platform::SleepMilliseconds(static_cast<std::uint32_t>(std::min(left, kSlice).count()));
  }
}

bool TPlatformSurface::Attended() const { return platform::WindowStationVisible(); }

std::size_t TPlatformSurface::BoxListRoom() const { return platform::BoxListRoom(); }
