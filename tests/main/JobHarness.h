#pragma once
// Runs the job driver inside a test: a surface that records every box, exit
// code, status text and close request, and the command line handed in.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "main/FormSurface.h"
#include "main/MainForm.h"

struct Box {
  TBoxKind kind;
  std::string text;
  bool operator==(const Box& other) const { return kind == other.kind && text == other.text; }
};

inline std::ostream& operator<<(std::ostream& out, const Box& box) {
  return out << (box.kind == TBoxKind::Error ? "Error: " : "Information: ") << box.text;
}

inline Box Error(std::string text) { return {TBoxKind::Error, std::move(text)}; }
inline Box Info(std::string text) { return {TBoxKind::Information, std::move(text)}; }

/// Records everything the driver shows and assigns, in order.
class RecordingSurface : public TFormSurface {
 public:
  void ShowBox(TBoxKind kind, const std::string& text) override { boxes.push_back({kind, text}); }
  void ShowNotice(const std::string& text) override { notices.push_back(text); }
  void ShowPrompt(const std::string& text) override { prompts.push_back(text); }
  void ClosePrompt() override { ++closedPrompts; }
  void SetStatusText(const std::string& text) override {
    statusTexts.push_back(text);
    if (onStatus) onStatus(text);
  }
  void ShowProgress(const std::string& text) override { progress.push_back(text); }
  void ProcessMessages() override { ++pumps; }
  void RequestClose() override { ++closeRequests; }
  void SetExitCode(int code) override { exitCodes.push_back(code); }
  void Wait(std::uint32_t milliseconds) override {
    waits.push_back(milliseconds);
    if (onWait) onWait();
  }
  bool Attended() const override { return attended; }
  std::size_t BoxListRoom() const override { return boxListRoom; }

  std::vector<Box> boxes;
  std::vector<std::string> notices;
  std::vector<std::string> prompts;
  int closedPrompts = 0;
  std::vector<int> exitCodes;
  std::vector<std::string> statusTexts;
  std::vector<std::string> progress;
  int pumps = 0;
  int closeRequests = 0;
  std::vector<std::uint32_t> waits;  // no time passes: the test goes on at once
  std::function<void()> onWait;      // what happens in the world meanwhile
  std::function<void(const std::string&)> onStatus;  // runs inside the status handler
  bool attended = true;              // false: a window station nobody sees
  std::size_t boxListRoom = SIZE_MAX;  // every line, as on the console
};

/// Hands arguments to the form's parser. Long options are read as on POSIX
/// in every build, so their translation is tested under Windows too.
inline void GiveArguments(TForm1& form, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "mailshot");
  form.CmdP().SetArgumentSource([arguments] { return arguments; });
  form.CmdP().SetLongOptions(true);
}

/// Runs the program's whole job on arguments, as the window's showing does.
inline RecordingSurface RunJob(const std::vector<std::string>& arguments) {
  RecordingSurface surface;
  TForm1 form(surface);
  GiveArguments(form, arguments);
  NotifyShown(form);
  return surface;
}

/// What PrepareJob leaves in the client for one command line.
struct Settings {
  std::string subject{}, from{}, host{}, user{}, charset{};
  int port = 25;
  TSubType subType = mtPlain;
  std::vector<std::string> recipients{}, attachments{};
  bool showSuccess = true, hideErrors = false;
  int timeOut = 0, reportLevel = 0;
  bool timeSends = false;
  TEncryption encryption = ecNone;
  bool insecure = false;
  std::string loginName{}, password{};
  TAuthMechanism mechanism = amAutomatic;
  std::vector<std::string> copies{}, envelopeRecipients{};
  std::string replyTo{}, subjectCharset{};
};

inline Settings Prepare(const std::vector<std::string>& arguments) {
  RecordingSurface surface;
  TForm1 form(surface);
  GiveArguments(form, arguments);
  EXPECT_TRUE(form.PrepareJob());
  EXPECT_TRUE(surface.boxes.empty());
  TQxSMTP& smtp = form.QxSMTP1();
  TPostMessage& message = smtp.PostMessage();
  return {message.Subject,
          message.FromAddress,
          smtp.Host,
          smtp.UserID,
          smtp.Charset,
          smtp.Port,
          smtp.SubType,
          message.ToAddress().Items(),
          message.Attachments().Items(),
          form.ShowSuccess,
          form.HideErrors,
          smtp.TimeOut,
          smtp.ReportLevel,
          smtp.TimeSends,
          smtp.Encryption,
          smtp.Insecure,
          smtp.LoginName,
          smtp.Password,
          smtp.AuthMechanism,
          message.ToCarbonCopy().Items(),
          message.ToBlindCarbonCopy().Items(),
          message.ReplyTo,
          smtp.SubjectCharset};
}

