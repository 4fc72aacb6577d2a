#include "main/FormSurface.h"

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
  if (!platform::WriteToConsole(text)) ShowBox(TBoxKind::Information, text);
}

void TPlatformSurface::SetStatusText(const std::string& text) { platform::SetStatusText(text); }

void TPlatformSurface::ProcessMessages() { platform::PumpMessages(); }

void TPlatformSurface::RequestClose() { platform::RequestClose(); }
