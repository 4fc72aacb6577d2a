#pragma once
// Where the job driver meets the outside world. Abstract so that the whole
// driver runs inside a unit test that records every box in order; the real
// implementation is TPlatformSurface.

#include <cstddef>
#include <cstdint>
#include <string>

enum class TBoxKind { Error, Information };

/// The boxes, the status text, the pump step, the close request and the exit
/// code of the status window, as the job driver uses them. Owned by whoever
/// creates the window; the window only refers to it.
class TFormSurface {
 public:
  virtual ~TFormSurface() = default;
  /// Shows text in a modal box of kind; returns once the user dismissed it.
  virtual void ShowBox(TBoxKind kind, const std::string& text) = 0;
  /// Writes text to the console when the process has one (standard output
  /// on POSIX); otherwise shows it in an information box where someone can
  /// dismiss it (Attended), and nowhere else.
  virtual void ShowNotice(const std::string& text) = 0;
  /// Shows text in an information box that does not wait: the job goes on
  /// while it stands, until the user dismisses it or ClosePrompt.
  virtual void ShowPrompt(const std::string& text) = 0;
  /// Closes the box of ShowPrompt if it still stands.
  virtual void ClosePrompt() = 0;
  /// Makes text the panel's caption.
  virtual void SetStatusText(const std::string& text) = 0;
  /// Shows how far a long send got where a person watches (platform::ShowProgress).
  virtual void ShowProgress(const std::string& text) = 0;
  /// Serves every window message waiting now, without waiting for more.
  virtual void ProcessMessages() = 0;
  /// Asks the message loop to end once control is back in it.
  virtual void RequestClose() = 0;
  /// Assigns the process exit code; the last assignment wins.
  virtual void SetExitCode(int code) = 0;
  /// Lets milliseconds pass, serving the window's messages meanwhile.
  virtual void Wait(std::uint32_t milliseconds) = 0;
  /// False where nobody can see a box, and so nobody can dismiss one.
  virtual bool Attended() const = 0;
  /// How many lines of a list (refused recipients) a box shows before it
  /// says how many more there are (platform::BoxListRoom).
  virtual std::size_t BoxListRoom() const = 0;
};

/// The real surface: the platform's boxes ("Error" with the stop icon,
/// "Information" with the information icon) and status window; keeps the exit
/// code for the end of the process.
class TPlatformSurface final : public TFormSurface {
 public:
  void ShowBox(TBoxKind kind, const std::string& text) override;
  void ShowNotice(const std::string& text) override;
  void ShowPrompt(const std::string& text) override;
  void ClosePrompt() override;
  void SetStatusText(const std::string& text) override;
  void ShowProgress(const std::string& text) override;
  void ProcessMessages() override;
  void RequestClose() override;
  void SetExitCode(int code) override { exitCode_ = code; }
  void Wait(std::uint32_t milliseconds) override;
  /// False on a window station that is not visible (a service, a task run
  /// whether or not a user is logged on); true on the console.
  bool Attended() const override;
  std::size_t BoxListRoom() const override;

  /// The exit code last assigned; 0 when none was.
  int ExitCode() const { return exitCode_; }

 private:
  int exitCode_ = 0;
};
