#pragma once
// The run log: a transcript of one run appended to a text file, so that the
// owner of a job that shows no boxes can read what happened.

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cmdline/CmdLineParser.h"
#include "core/Secrets.h"
#include "net/Tidewire.h"
#include "platform/File.h"

// The beginnings of the events that the job driver writes; the event's
// value follows each.
inline constexpr std::string_view kLogCommandLine = "command line: ";
inline constexpr std::string_view kLogWorkingDirectory = "working directory: ";
inline constexpr std::string_view kLogConnecting = "connecting to ";
inline constexpr std::string_view kLogSuccess = "success: ";
inline constexpr std::string_view kLogError = "error: ";
inline constexpr std::string_view kLogExitCode = "exit code ";
inline constexpr std::string_view kLogEnvelopeId = "envelope id for delivery notices: ";
/// %s is the log file as the command line names it.
inline constexpr std::string_view kLogWarning = "Warning: the run log %s could not be written.";

/// Switches whose values are secrets; the run log shows them as "***".
inline constexpr std::array<std::string_view, 1> kSecretSwitches{"PW"};

/// The arguments after argument 0 as parser reads them, as one line: an
/// argument that is empty or holds a blank stands in double quotes, and
/// whatever parser takes for the value of a switch of secretSwitches shows
/// as "***" with the rest of its argument.
std::string MaskedCommandLine(const TCmdLineParser& parser, std::span<const std::string_view> secretSwitches);

/// The transcript of one run in a text file: one line per event, each after
/// the local time and the run's tag (the process id in brackets, so that
/// the lines of runs that share the file can be told apart), no secret of
/// secrets in it. Owned by the status window;
/// writes nothing unless opened. It never raises: a log that cannot be
/// written turns into Problem().
class TRunLog {
 public:
  explicit TRunLog(const TSecretList& secrets);
  ~TRunLog();
  TRunLog(const TRunLog&) = delete;
  TRunLog& operator=(const TRunLog&) = delete;

  /// Opens path for appending (creating it when missing).
  void Open(const std::string& path);
  /// Appends one line: the local time, a blank, the run's tag ("[4242]"), a
  /// blank, then event with its secrets
  /// as "***", its line ends shown as " | " (trailing ones dropped), every
  /// other control character but the tab as \xNN and a C1 control in UTF-8
  /// as \u0080 to \u009f.
  void Write(std::string_view event);
  /// Writes the line for a trace event of wire.
  void Trace(const TTidewire& wire, const TTraceEvent& event);
  /// Empty while every line asked for was written; otherwise the warning
  /// for the user that the log could not be written.
  const std::string& Problem() const { return problem_; }

 private:
  void Fail();

  const TSecretList& secrets_;
  platform::FileHandle file_ = platform::kInvalidFile;
  std::string path_;
  std::string problem_;
  std::string runTag_;  // " [4242] ", between the time and the event
};
