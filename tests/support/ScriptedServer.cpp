#include "support/ScriptedServer.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace testserver {
namespace {

constexpr int kSliceMilliseconds = 20;  // how often waits look at the stop flag and the deadline
constexpr int kChunk = 64 * 1024;

std::string WithoutLineEnd(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool Matches(const std::string& pattern, const std::string& line) {
  if (!pattern.empty() && pattern.back() == '*') return line.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
  return line == pattern;
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

}  // namespace

Step Send(std::string text) { return {Step::Kind::kSend, std::move(text), {}, 0}; }
Step SendFragments(std::vector<std::string> parts, int pauseMilliseconds) {
  return {Step::Kind::kSendFragments, {}, std::move(parts), pauseMilliseconds};
}
Step Wait(int milliseconds) { return {Step::Kind::kWait, {}, {}, milliseconds}; }
Step ExpectLine(std::string pattern) { return {Step::Kind::kExpectLine, std::move(pattern), {}, 0}; }
Step ReadUntil(std::string line) { return {Step::Kind::kReadUntil, std::move(line), {}, 0}; }
Step Close() { return {Step::Kind::kClose, {}, {}, 0}; }
Step Reset() { return {Step::Kind::kReset, {}, {}, 0}; }
Step Stall() { return {Step::Kind::kStall, {}, {}, 0}; }
Step Drain() { return {Step::Kind::kDrain, {}, {}, 0}; }
Step SmtpSink() { return {Step::Kind::kSmtpSink, {}, {}, 0}; }
Step StartTls() { return {Step::Kind::kStartTls, {}, {}, 0}; }
Step Renegotiate() { return {Step::Kind::kRenegotiate, {}, {}, 0}; }
Step ExpectTlsClose() { return {Step::Kind::kExpectTlsClose, {}, {}, 0}; }
Step Tickets() { return {Step::Kind::kTickets, {}, {}, 0}; }

std::vector<Step> SmtpDialogue(const std::string& greeting,
                               const std::vector<std::pair<std::string, std::string>>& exchanges) {
  std::vector<Step> script{Send(greeting + "\r\n")};
  for (const auto& [expected, reply] : exchanges) {
    script.push_back(expected == "." ? ReadUntil(".") : ExpectLine(expected));
    script.push_back(Send(reply + "\r\n"));
  }
  return script;
}

// One accepted client and the bytes received from it but not yet taken as lines.
class ScriptedServer::Session {
 public:
  enum class Read { kLine, kPeerClosed, kEnded };

  Session(ScriptedServer& server, wire::Socket socket) : server_(server), socket_(socket) {}
  ~Session() {
    tls_.reset();
    if (socket_ != wire::kNoSocket) wire::Close(socket_);
  }

  /// Plays one step; false when the connection or the run has ended.
  bool Play(const Step& step, size_t index) {
    switch (step.kind) {
      case Step::Kind::kSend:
        return SendAll(step.text);
      case Step::Kind::kSendFragments:
        for (size_t i = 0; i < step.parts.size(); ++i) {
          if (i > 0 && !Pause(step.milliseconds)) return Ended(index, "fragments");
          if (!SendAll(step.parts[i])) return false;
        }
        return true;
      case Step::Kind::kWait:
        return Pause(step.milliseconds) || Ended(index, "wait");
      case Step::Kind::kExpectLine: {
        std::string line;
        const Read result = ReadLine(line);
        if (result != Read::kLine) return Unfinished(result, index, "expect " + step.text);
        if (!Matches(step.text, WithoutLineEnd(line)))
          server_.Fail("step " + std::to_string(index) + ": expected \"" + step.text + "\", got \"" + line + "\"");
        return true;
      }
      case Step::Kind::kReadUntil: {
        std::string line;
        do {
          const Read result = ReadLine(line);
          if (result != Read::kLine) return Unfinished(result, index, "until " + step.text);
        } while (WithoutLineEnd(line) != step.text);
        return true;
      }
      case Step::Kind::kClose:
        CloseOrderly();
        return false;
      case Step::Kind::kReset:
        tls_.reset();
        wire::Reset(socket_);
        socket_ = wire::kNoSocket;
        return false;
      case Step::Kind::kStall:
        while (!server_.stop_ && !server_.Expired()) Pause(kSliceMilliseconds);
        return false;
      case Step::Kind::kDrain:
        RecordUntilPeerCloses(server_.deadline_);
        return false;
      case Step::Kind::kSmtpSink:
        return PlaySmtpSink(index);
      case Step::Kind::kStartTls:
        return PlayStartTls(index);
      case Step::Kind::kRenegotiate:
        if (tls_ && tls_->Renegotiate()) return true;
        server_.Fail("step " + std::to_string(index) + " (renegotiate): no renegotiation request sent");
        return false;
      case Step::Kind::kTickets:
        if (!tls_ || !tls_->SendsTickets()) {
          server_.Fail("step " + std::to_string(index) + " (tickets): the session is no TLS 1.3 session");
          return false;
        }
        // The client's leaving ends the flood as well.
        while (!server_.stop_ && !server_.Expired() && tls_->SendTicket()) {
        }
        return false;
      case Step::Kind::kExpectTlsClose:
        RecordUntilPeerCloses(server_.deadline_);
        if (!tls_ || !tls_->ClosedWithNotify())
          server_.Fail("step " + std::to_string(index) + " (tlsclose): the client closed without close_notify");
        return false;
    }
    return false;
  }

  void CloseOrderly() {
    if (socket_ == wire::kNoSocket) return;
    if (tls_) tls_->Shutdown();
    wire::ShutdownSend(socket_);
    RecordUntilPeerCloses(std::min(server_.deadline_, std::chrono::steady_clock::now() + server_.options_.closeGrace));
    wire::Close(socket_);
    socket_ = wire::kNoSocket;
  }

 private:
  bool PlayStartTls(size_t index) {
    const std::string step = "step " + std::to_string(index) + " (starttls): ";
    // Bytes after the command that started TLS would be taken as inside it.
    if (!pending_.empty()) {
      server_.Fail(step + "the client sent data before the TLS handshake");
      return false;
    }
    std::string error;
    tls_ = AcceptTls(socket_, server_.options_.tls, [this] { return !server_.stop_ && !server_.Expired(); }, error);
    if (!tls_) server_.Fail(step + "TLS handshake failed: " + error);
    return tls_ != nullptr;
  }

  bool PlaySmtpSink(size_t index) {
    if (!SendAll("220 mailshot test sink ready\r\n")) return false;
    std::string line;
    for (;;) {
      const Read result = ReadLine(line);
      if (result == Read::kPeerClosed) return false;
      if (result == Read::kEnded) return Ended(index, "sink");
      const std::string command = Upper(WithoutLineEnd(line));
      if (command == "DATA") {
        if (!SendAll("354 end data with <CR><LF>.<CR><LF>\r\n")) return false;
        do {
          const Read data = ReadLine(line);
          if (data != Read::kLine) return Unfinished(data, index, "sink data");
        } while (WithoutLineEnd(line) != ".");
        if (!SendAll("250 message accepted\r\n")) return false;
      } else if (command == "QUIT") {
        SendAll("221 bye\r\n");
        CloseOrderly();
        return false;
      } else if (!SendAll("250 ok\r\n")) {
        return false;
      }
    }
  }

  bool SendAll(const std::string& text) {
    if (tls_) {
      if (tls_->Send(text.data(), static_cast<int>(text.size()))) return true;
      server_.Fail("TLS send failed");
      return false;
    }
    size_t done = 0;
    while (done < text.size()) {
      if (!WaitUntilReady(/*write=*/true)) return false;
      const int n = wire::Send(socket_, text.data() + done, static_cast<int>(text.size() - done));
      if (n <= 0) {
        server_.Fail("send failed after " + std::to_string(done) + " bytes");
        return false;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  }

  /// Sleeps in slices; false when stopped or past the deadline.
  bool Pause(int milliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
      if (server_.stop_ || server_.Expired()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(
          std::min<long long>(kSliceMilliseconds, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      end - std::chrono::steady_clock::now()).count() + 1)));
    }
    return true;
  }

  bool WaitUntilReady(bool write) {
    while (!server_.stop_ && !server_.Expired()) {
      if (write ? wire::WaitWritable(socket_, kSliceMilliseconds) : wire::WaitReadable(socket_, kSliceMilliseconds))
        return true;
    }
    return false;
  }

  /// Receives once into pending_; 0 when the peer closed, -1 when the run ended.
  int ReceiveSome() {
    char chunk[kChunk];
    int n = 0;
    if (tls_) {
      n = tls_->Receive(chunk, kChunk);
      if (n < 0) return -1;
    } else {
      if (!WaitUntilReady(/*write=*/false)) return -1;
      n = wire::Receive(socket_, chunk, kChunk);
    }
    if (n <= 0) return 0;
    server_.Record(chunk, n);
    pending_.append(chunk, static_cast<size_t>(n));
    return n;
  }

  Read ReadLine(std::string& line) {
    for (;;) {
      const size_t end = pending_.find('\n', scanned_);
      if (end != std::string::npos) {
        line = pending_.substr(0, end + 1);
        pending_.erase(0, end + 1);
        scanned_ = 0;
        return Read::kLine;
      }
      scanned_ = pending_.size();
      const int n = ReceiveSome();
      if (n == 0) return Read::kPeerClosed;
      if (n < 0) return Read::kEnded;
    }
  }

  void RecordUntilPeerCloses(std::chrono::steady_clock::time_point until) {
    char chunk[kChunk];
    if (tls_) {
      for (int n; (n = tls_->Receive(chunk, kChunk, until)) > 0;) server_.Record(chunk, n);
      return;
    }
    while (!server_.stop_ && std::chrono::steady_clock::now() < until) {
      if (!wire::WaitReadable(socket_, kSliceMilliseconds)) continue;
      const int n = wire::Receive(socket_, chunk, kChunk);
      if (n <= 0) return;
      server_.Record(chunk, n);
    }
  }

  bool Unfinished(Read result, size_t index, const std::string& what) {
    server_.Fail("step " + std::to_string(index) + " (" + what + "): " +
                 (result == Read::kPeerClosed ? "peer closed" : "not finished before stop or deadline"));
    return false;
  }

  bool Ended(size_t index, const std::string& what) {
    if (!server_.stop_) server_.Fail("step " + std::to_string(index) + " (" + what + "): deadline reached");
    return false;
  }

  ScriptedServer& server_;
  wire::Socket socket_;
  std::unique_ptr<ServerTls> tls_;  // from a StartTls step on
  std::string pending_;
  size_t scanned_ = 0;  // pending_ holds no line feed before this
};

ScriptedServer::ScriptedServer(std::vector<Step> script, ServerOptions options)
    : script_(std::move(script)), options_(options), deadline_(std::chrono::steady_clock::now() + options.deadline) {
  wire::Startup();
  listener_ = wire::Listen(port_);
  if (listener_ == wire::kNoSocket) {
    wire::Cleanup();
    throw std::runtime_error("scripted server: no listener on 127.0.0.1");
  }
  thread_ = std::thread([this] {
    Run();
    finished_ = true;
  });
}

ScriptedServer::~ScriptedServer() {
  Stop();
  wire::Close(listener_);
  wire::Cleanup();
}

void ScriptedServer::Join() {
  if (thread_.joinable()) thread_.join();
}

void ScriptedServer::Stop() {
  stop_ = true;
  Join();
}

bool ScriptedServer::Expired() const { return std::chrono::steady_clock::now() >= deadline_; }

void ScriptedServer::Fail(std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_.push_back(std::move(text));
}

void ScriptedServer::Record(const char* data, int count) {
  received_count_ += count;
  if (!options_.record) return;
  std::lock_guard<std::mutex> lock(mutex_);
  received_.append(data, static_cast<size_t>(count));
}

std::string ScriptedServer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> ScriptedServer::Failures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failures_;
}

void ScriptedServer::Run() {
  for (int connection = 0; connection < options_.connections; ++connection) {
    bool waiting = true;
    while (waiting && !stop_ && !Expired()) waiting = !wire::WaitReadable(listener_, kSliceMilliseconds);
    if (waiting) {
      if (!stop_) Fail("connection " + std::to_string(connection + 1) + ": no client before the deadline");
      return;
    }
    const wire::Socket client = wire::AcceptOne(listener_);
    if (client == wire::kNoSocket) {
      Fail("accept failed");
      return;
    }
    ++accepted_;
    wire::SetNoDelay(client);
    Session session(*this, client);
    bool open = true;
    for (size_t i = 0; open && i < script_.size(); ++i) open = session.Play(script_[i], i);
    if (open) session.CloseOrderly();
  }
}

std::uint16_t UnusedPort() {
  wire::Startup();
  std::uint16_t port = 0;
  const wire::Socket listener = wire::Listen(port);
  if (listener != wire::kNoSocket) wire::Close(listener);
  wire::Cleanup();
  return port;
}

namespace {

/// The steps without an argument and their words in the text form.
struct BareStep {
  std::string_view word;
  Step::Kind kind;
};
constexpr BareStep kBareSteps[] = {
    {"close", Step::Kind::kClose},           {"reset", Step::Kind::kReset},
    {"stall", Step::Kind::kStall},           {"drain", Step::Kind::kDrain},
    {"sink", Step::Kind::kSmtpSink},         {"starttls", Step::Kind::kStartTls},
    {"renegotiate", Step::Kind::kRenegotiate}, {"tlsclose", Step::Kind::kExpectTlsClose},
    {"tickets", Step::Kind::kTickets},
};

/// text with every byte that the text form gives a meaning, or that is not
/// printable, written as an escape.
std::string Escape(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '|') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

std::string Unescape(std::string_view text, size_t lineNumber) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    switch (c) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'x':
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
          throw std::invalid_argument("script line " + std::to_string(lineNumber) + ": bad \\x escape");
        out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
        i += 2;
        break;
      default: out += c; break;  // \\ and \| stand for themselves
    }
  }
  return out;
}

/// Splits at "|" that is not escaped; each part keeps its escapes.
std::vector<std::string_view> SplitParts(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '|') {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(text.substr(start));
  return parts;
}

int Milliseconds(const std::string& text, size_t lineNumber) {
  size_t used = 0;
  int value = -1;
  try {
    value = std::stoi(text, &used);
  } catch (const std::exception&) {
  }
  if (value < 0 || used != text.size())
    throw std::invalid_argument("script line " + std::to_string(lineNumber) + ": bad milliseconds \"" + text + "\"");
  return value;
}

}  // namespace

std::vector<Step> ParseScript(std::string_view text) {
  std::vector<Step> script;
  size_t lineNumber = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const size_t space = line.find(' ');
    const std::string_view word = line.substr(0, space);
    const std::string_view rest = space == std::string_view::npos ? std::string_view{} : line.substr(space + 1);
    if (word == "send") {
      script.push_back(Send(Unescape(rest, lineNumber)));
    } else if (word == "fragments") {
      const size_t gap = rest.find(' ');
      if (gap == std::string_view::npos)
        throw std::invalid_argument("script line " + std::to_string(lineNumber) + ": fragments MS PART|PART...");
      std::vector<std::string> parts;
      for (std::string_view part : SplitParts(rest.substr(gap + 1))) parts.push_back(Unescape(part, lineNumber));
      script.push_back(SendFragments(std::move(parts), Milliseconds(std::string(rest.substr(0, gap)), lineNumber)));
    } else if (word == "wait") {
      script.push_back(Wait(Milliseconds(std::string(rest), lineNumber)));
    } else if (word == "expect") {
      script.push_back(ExpectLine(std::string(rest)));
    } else if (word == "until") {
      script.push_back(ReadUntil(std::string(rest)));
    } else {
      const auto bare = std::find_if(std::begin(kBareSteps), std::end(kBareSteps),
                                     [&](const BareStep& step) { return step.word == word; });
      if (bare == std::end(kBareSteps) || !rest.empty())
        throw std::invalid_argument("script line " + std::to_string(lineNumber) + ": unknown step \"" +
                                    std::string(line) + "\"");
      script.push_back({bare->kind, {}, {}, 0});
    }
  }
  return script;
}

std::string ScriptText(const std::vector<Step>& script) {
  std::string text;
  for (const Step& step : script) {
    switch (step.kind) {
      case Step::Kind::kSend:
        text += "send " + Escape(step.text);
        break;
      case Step::Kind::kSendFragments:
        text += "fragments " + std::to_string(step.milliseconds) + " ";
        for (size_t i = 0; i < step.parts.size(); ++i) {
          if (i > 0) text += '|';
          text += Escape(step.parts[i]);
        }
        break;
      case Step::Kind::kWait:
        text += "wait " + std::to_string(step.milliseconds);
        break;
      case Step::Kind::kExpectLine:
        text += "expect " + step.text;
        break;
      case Step::Kind::kReadUntil:
        text += "until " + step.text;
        break;
      default:
        for (const BareStep& bare : kBareSteps) {
          if (bare.kind == step.kind) text += bare.word;
        }
        break;
    }
    text += "\n";
  }
  return text;
}

}  // namespace testserver
