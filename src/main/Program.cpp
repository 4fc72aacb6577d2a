// The program entry: the status window runs the one mail job when shown, and
// the process ends with the exit code last assigned.

#include <exception>

#include "main/FormSurface.h"
#include "main/MainForm.h"
#include "platform/Gui.h"
#include "platform/Process.h"

int main(int argc, char** argv) {
  platform::SetArgumentVector(argc, argv);
  TPlatformSurface surface;
  try {
    TForm1 form(surface);
    platform::RunStatusWindow([&form] { NotifyShown(form); });
  } catch (const std::exception& e) {
    // The window could not be built (no sockets library, for one): the job
    // never ran, and the caller must not take that for success.
    if (surface.Attended()) surface.ShowBox(TBoxKind::Error, MessageOf(e));
    surface.SetExitCode(kExitFailure);
  }
  platform::EndProcess(surface.ExitCode());
}
