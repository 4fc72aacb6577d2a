#pragma once
// A host for the OAuth steps inside a test: the token endpoint's answers
// scripted in order, every request and trace line recorded, and a clock
// that the waits move on instead of sleeping.

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "oauth/OAuthHost.h"
#include "oauth/TokenEndpoint.h"

/// One scripted answer; failure non-empty: no answer, that HttpError instead.
struct ScriptedAnswer {
  ScriptedAnswer(int status = 200, std::string body = {}, std::string failure = {})
      : status(status), body(std::move(body)), failure(std::move(failure)) {}
  int status;
  std::string body;
  std::string failure;
};

class FakeHost : public oauth::TOAuthHost {
 public:
  struct Request {
    std::string url;
    std::map<std::string, std::string> fields;
    std::int64_t at;  // seconds on the fake clock
  };

  int PostForm(const platform::HttpRequest& request, std::string& body) override {
    Request recorded{request.url, {}, Now()};
    std::string_view form = request.form;
    while (!form.empty()) {
      const std::string_view pair = form.substr(0, form.find('&'));
      form.remove_prefix(std::min(form.size(), pair.size() + 1));
      const size_t equals = pair.find('=');
      recorded.fields[oauth::PercentDecoded(pair.substr(0, equals))] = oauth::PercentDecoded(pair.substr(equals + 1));
    }
    requests.push_back(recorded);
    caFiles.push_back(request.caFile);
    if (onPost) onPost();
    if (answers.empty()) throw platform::HttpError("no answer scripted");
    const ScriptedAnswer answer = answers.front();
    answers.pop_front();
    if (!answer.failure.empty()) throw platform::HttpError(answer.failure);
    body = answer.body;
    return answer.status;
  }
  void Trace(oauth::TOAuthTrace, const std::string& line) override { traces.push_back(line); }
  void Secret(std::string_view secret) override { secrets.emplace_back(secret); }
  void Prompt(const std::string& text) override { prompts.push_back(text); }
  void ClosePrompt() override { ++closedPrompts; }
  void OpenBrowser(const std::string& address) override {
    opened.push_back(address);
    if (onBrowser) onBrowser(address);
  }
  void OfferCode(const std::string& code) override { offeredCodes.push_back(code); }
  void Pause(int milliseconds) override {
    milliseconds_ += milliseconds;
    ++pauses;
    if (onPause) onPause();
  }
  std::int64_t Now() override { return start + milliseconds_ / 1000; }

  std::deque<ScriptedAnswer> answers;
  std::vector<Request> requests;
  std::vector<std::string> caFiles;
  std::vector<std::string> traces;
  std::vector<std::string> secrets;
  std::vector<std::string> prompts;
  std::vector<std::string> opened;  // the addresses given to the browser
  std::vector<std::string> offeredCodes;
  int closedPrompts = 0;
  int pauses = 0;
  std::function<void(const std::string&)> onBrowser;
  std::function<void()> onPause;
  std::function<void()> onPost;  // while the endpoint answers
  const std::int64_t start = 1700000000;

 private:
  std::int64_t milliseconds_ = 0;
};
