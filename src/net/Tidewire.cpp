#include "net/Tidewire.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include "net/TimerOffOnExit.h"
#include "net/TlsChannel.h"
#include "net/Winsock.h"

namespace {

constexpr int kProtocolTcp = 6;
constexpr int kProtocolDefault = 0;

std::uint16_t LowWord(std::intptr_t value) { return static_cast<std::uint16_t>(value & 0xFFFF); }
std::uint16_t HighWord(std::intptr_t value) { return static_cast<std::uint16_t>((value >> 16) & 0xFFFF); }

}  // namespace

std::string EndPointText(const platform::SocketAddress& address) {
  // Appended piece by piece: MinGW's GCC 12 warns falsely (-Wrestrict) of
  // the same text made with operator+.
  const bool bracketed = address.family == platform::AddressFamily::kIPv6;
  std::string text = bracketed ? "[" : "";
  text += platform::AddressText(address);
  if (bracketed) text += ']';
  text += ':';
  text += std::to_string(address.port);
  return text;
}

TTidewire::TTidewire(TComponent* owner) : TComponent(owner) {
  ReportStatus(kStatusCreate);
  NotifyWindow = platform::CreateNotifyWindow(kSocketWindowClass, SocketWindowProc, this);
  HostEntryBuffer = std::make_unique<char[]>(kHostEntrySize);
  Timer = new TThreadTimer(this);
  Timer->SetEnabled(false);
  Timer->SetOnTimer([this](TObject* sender) { TimerTriggered(sender); });
  try {
    InitWinsock();
  } catch (...) {
    platform::DestroyNotifyWindow(NotifyWindow);
    throw;
  }
}

TTidewire::~TTidewire() {
  MarkDestroying();
  ReportStatus(kStatusDestroy);
  Abort();
  Cancel();
  delete Timer;
  Timer = nullptr;
  // The window goes before the host-entry buffers: a lookup still running
  // then has nowhere to deliver to.
  platform::DestroyNotifyWindow(NotifyWindow);
  NotifyWindow = 0;
  HostEntryBuffer.reset();
  retired_host_entries_.clear();
  Closing = true;
  try {
    RequestCloseSocket();
  } catch (...) {
    // A destructor reports nothing; the socket is gone either way.
  }
  WinsockCleanup();
}

void TTidewire::InitWinsock() {
  ReportStatus(kStatusInitializingWinsock);
  try {
    WinsockStartup(WinsockData, WinsockInfo);
    try {
      SocketHandle = OpenSocket(kProtocolTcp);
      if (SocketHandle == kNoSocket) throw ESockError(std::string(kErrWinsockInit));
      // The first socket resets its connection on close instead of closing
      // in order. Without the option it would close in order: no failure.
      platform::SetLinger(NativeSocket(), true, 0);
      if (!RegisterSocket(SocketHandle)) throw ESockError(std::string(kErrWinsockInit));
    } catch (...) {
      if (SocketHandle != kNoSocket) platform::CloseSocket(NativeSocket());
      SocketHandle = kNoSocket;
      WinsockCleanup();
      throw;
    }
  } catch (...) {
    throw ESockError(std::string(kErrWinsockInit));
  }
}

std::uint16_t TTidewire::OpenSocket(int protocol, platform::AddressFamily family) {
  const platform::SocketHandle socket = platform::CreateStreamSocket(protocol, family);
  if (socket == platform::kInvalidSocket) return kNoSocket;
  if (socket >= kNoSocket) {
    platform::CloseSocket(socket);
    throw ERangeError();
  }
  return static_cast<std::uint16_t>(socket);
}

bool TTidewire::RegisterSocket(std::uint16_t socket) {
  return platform::AsyncSelect(socket, NotifyWindow, kSocketNotifyMessage, kSocketEventMask) != platform::kSocketError;
}

void TTidewire::RaiseUnlessWouldBlock() {
  std::string message;
  CheckSocketError(kWsaWouldBlock, message);
}

platform::SocketHandle TTidewire::NativeSocket() const {
  return SocketHandle == kNoSocket ? platform::kInvalidSocket : SocketHandle;
}

platform::SocketAddress TTidewire::LocalAddress() const {
  return Connected ? platform::LocalAddressOf(NativeSocket()) : platform::SocketAddress{};
}

template <typename Done>
void TTidewire::WaitPumping(Done done) {
  do {
    platform::SleepMilliseconds(2);
    platform::PumpMessages();
  } while (!done());
}

bool TTidewire::StartLookup() {
  lookup_after_abandoned_ = outstanding_lookups_ > 0;
  if (lookup_after_abandoned_) {
    // An earlier lookup was given up but may still complete: it keeps its
    // own buffer, and the wait lasts until every completion is in. The new
    // buffer starts empty, so that it shows whether this lookup found an address.
    retired_host_entries_.push_back(std::move(HostEntryBuffer));
    HostEntryBuffer = std::make_unique<char[]>(kHostEntrySize);
  }
  if (!platform::AsyncLookupHost(NotifyWindow, kLookupDoneMessage, IoBuffer, HostEntryBuffer.get(), kHostEntrySize))
    return false;
  ++outstanding_lookups_;
  return true;
}

void TTidewire::ResolveHost() {
  ReportStatus(kStatusResolveHost);
  if (Host.size() > static_cast<size_t>(kIoBufferData)) throw ESockError(std::string(kErrHostTooLong));
  std::memcpy(IoBuffer, Host.data(), Host.size());
  IoBuffer[Host.size()] = '\0';
  ResolvedAddresses.clear();
  RemoteAddress = {};
  if (const std::optional<platform::SocketAddress> literal = platform::AddressOfLiteral(IoBuffer)) {
    // "0.0.0.0" and "::" name no server.
    if (!literal->Unspecified()) ResolvedAddresses.push_back(*literal);
    if (!ResolvedAddresses.empty()) RemoteAddress = ResolvedAddresses.front();
    return;
  }
  TimerOn();
  AsyncDone = false;
  if (!StartLookup()) {
    TimerOff();
    throw ESockError(std::string(kErrLookupFailed));
  }
  WaitPumping([this] { return AsyncDone || TimedOut || Canceled; });
  TimerOff();
  if (TimedOut) throw ESockError(std::string(kErrLookupTimedOut));
  if (Canceled) throw ESockError(std::string(kErrLookupCanceled));
  // After two completions the error may be the given-up lookup's: the
  // entry, which starts empty, tells.
  std::vector<platform::SocketAddress> found = platform::AddressesOfHostEntry(HostEntryBuffer.get());
  if (lookup_after_abandoned_) {
    LastEventOk = !found.empty();
    LastError = found.empty() ? kWsaHostNotFound : 0;
  }
  if (!LastEventOk || found.empty()) throw ESockError(std::string(kErrLookupFailed));
  ResolvedAddresses = std::move(found);
  RemoteAddress = ResolvedAddresses.front();
  if (OnHostResolved) OnHostResolved(this);
}

void TTidewire::Connect() {
  ReportStatus(kStatusConnecting);
  Canceled = false;
  if (Connected) throw ESockError(std::string(kErrAlreadyConnected));
  for (int attempts = 0;; ++attempts) {
    try {
      ResolveHost();
    } catch (const ESockError& e) {
      if (e.Message() == kErrLookupTimedOut || e.Message() == kErrLookupCanceled) throw;
    }
    if (!ResolvedAddresses.empty()) break;
    if (attempts > 0 || !OnInvalidHost) RaiseNoAddress();
    bool handled = false;
    OnInvalidHost(handled);
    if (!handled) RaiseNoAddress();
  }
  std::vector<platform::SocketAddress> addresses = ResolvedAddresses;
  for (platform::SocketAddress& address : addresses) address.port = static_cast<std::uint16_t>(Port & 0xFFFF);
  RemoteAddress = addresses.front();
  platform::ConnectRace race(addresses);
  AsyncDone = false;
  LastEventOk = true;
  platform::ConnectFailure last;
  {
    TimerOn();
    TimerOffOnExit timerOff(*this);
    RunRace(race, last);
    if (!TimedOut && !Canceled && race.Won()) TakeConnection(race);
  }
  if (Connected) {
    Trace(TTraceKind::kConnected, EndPointText(RemoteAddress));
    return;
  }
  if (TimedOut) {
    for (const platform::SocketAddress& address : race.Pending()) {
      Trace(TTraceKind::kConnectFailed, EndPointText(address) + ": " + std::string(kErrConnectionTimedOut));
    }
  } else if (!Canceled && last.rejected) {
    // Refused by the call itself (no socket of the family, say): raised as
    // that call's error, as a connect refused at once always was.
    platform::SetLastSocketError(last.error);
    RaiseUnlessWouldBlock();
  }
  RaiseConnectFailure(last);
}

void TTidewire::RunRace(platform::ConnectRace& race, platform::ConnectFailure& last) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kPass = std::chrono::milliseconds(2);
  for (;;) {
    const Clock::time_point passStart = Clock::now();
    race.Run(kMaxWaitMilliseconds);
    platform::PumpMessages();
    for (const platform::ConnectFailure& failure : race.TakeFailures()) {
      // As the connect-finished notification with an error would have told it.
      if (!failure.rejected) LastEventOk = false;
      Trace(TTraceKind::kConnectFailed, EndPointText(failure.address) + ": " + SocketErrorMessage(failure.error));
      last = failure;
    }
    if (TimedOut || Canceled || race.Decided()) return;
    // A wake that did not end the wait (another message) must not turn into a spin.
    const auto spent = Clock::now() - passStart;
    if (spent < kPass) {
      platform::SleepMilliseconds(
          static_cast<std::uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(kPass - spent).count()));
    }
  }
}

void TTidewire::TakeConnection(platform::ConnectRace& race) {
  platform::SocketAddress address;
  const platform::SocketHandle socket = race.TakeConnected(address);
  if (socket >= kNoSocket) {
    platform::CloseSocket(socket);
    throw ERangeError();
  }
  // The idle socket gives way to the connected one, and passes on how it closes.
  if (SocketHandle != kNoSocket) platform::CloseSocket(NativeSocket());
  SocketHandle = static_cast<std::uint16_t>(socket);
  socket_family_ = address.family;
  if (first_socket_) platform::SetLinger(socket, true, 0);
  first_socket_ = false;
  // Unregistered, the socket would never tell that data arrived.
  if (!RegisterSocket(SocketHandle)) RaiseUnlessWouldBlock();
  RemoteAddress = address;
  ConnectionMade();
}

void TTidewire::ConnectionMade() {
  Connected = true;
  if (OnConnect) OnConnect(this);
}

void TTidewire::RaiseNoAddress() {
  // No name at all, or none a name service takes (over 253 letters), needs no echo.
  constexpr std::size_t kLongestName = 253;
  if (Host.empty() || Host.size() > kLongestName) throw ESockError(std::string(kErrNullRemoteAddress));
  const std::string_view reason = LastError == kWsaTryAgain ? kReasonNameNotAnswered : kReasonNameUnknown;
  throw ESockError(std::string(kErrNullRemoteAddress) + FillPlaceholder(reason, Host));
}

void TTidewire::RaiseConnectFailure(const platform::ConnectFailure& last) {
  if (OnConnectionFailed) OnConnectionFailed(this);
  if (TimedOut) throw ESockError(std::string(kErrConnectionTimedOut));
  if (Canceled) throw ESockError(std::string(kErrConnectionCanceled));
  std::string message(kErrConnectionFailed);
  const std::string endPoint = platform::AddressText(last.address) + " port " + std::to_string(last.address.port);
  if (last.error == kWsaConnectionRefused) {
    message += FillPlaceholder(kReasonRefused, endPoint);
  } else if (last.error != 0) {
    // The table's text without its number: "Network is unreachable at ...".
    message += ": ";
    message += SocketErrorText(static_cast<std::uint16_t>(last.error));
    message += FillPlaceholder(kReasonAt, endPoint);
  }
  throw ESockError(message);
}

void TTidewire::Disconnect() {
  ReportStatus(kStatusDisconnecting);
  RequestCloseSocket();
}

void TTidewire::RequestCloseSocket() {
  ReportStatus(kStatusRequestCloseSocket);
  const bool wasConnected = Connected;
  Connected = false;
  if (SocketHandle == kNoSocket) return;
  EndTls();
  if (platform::CloseSocket(NativeSocket()) == platform::kSocketError) {
    RaiseUnlessWouldBlock();
    return;
  }
  SocketHandle = kNoSocket;
  ++closes_;
  if (wasConnected) Trace(TTraceKind::kClosed);
  if (OnDisconnect && !Destroying()) OnDisconnect(this);
  if (Closing) return;
  SocketHandle = OpenSocket(kProtocolDefault, socket_family_);
  first_socket_ = false;
  if (SocketHandle == kNoSocket) RaiseUnlessWouldBlock();
  // Unregistered, the socket would never tell that a connect finished.
  if (!RegisterSocket(SocketHandle)) RaiseUnlessWouldBlock();
}

void TTidewire::Cancel() {
  ReportStatus(kStatusCanceling);
  Canceled = true;
}

void TTidewire::Abort() {
  ReportStatus(kStatusAbort);
  Cancel();
}

void TTidewire::TimerOn() {
  ReportStatus(kStatusTimerOn);
  TimedOut = false;
  if (TimeOut < 0) throw ERangeError();
  auto interval = static_cast<std::uint32_t>(TimeOut);
  wait_end_ = std::chrono::steady_clock::time_point::max();
  if (TimeOut > 0) {
    const auto now = std::chrono::steady_clock::now();
    wait_end_ = std::min(now + std::chrono::milliseconds(TimeOut), shared_end_);
    // A shared time-out already over ends the wait at its first look.
    interval = static_cast<std::uint32_t>(
        std::max<std::int64_t>(1, std::chrono::ceil<std::chrono::milliseconds>(wait_end_ - now).count()));
  }
  Timer->SetInterval(interval);
  Timer->SetEnabled(true);
}

void TTidewire::TimerOff() {
  ReportStatus(kStatusTimerOff);
  wait_end_ = std::chrono::steady_clock::time_point::max();
  Timer->SetEnabled(false);
}

void TTidewire::TimerTriggered(TObject*) {
  ReportStatus(kStatusTimerTriggered);
  TimerOff();
  TimedOut = true;
  AsyncDone = true;
  Abort();
}

bool TTidewire::WaitTimeUp() {
  if (std::chrono::steady_clock::now() < wait_end_) return false;
  TimerTriggered(Timer);
  return true;
}

TSharedTimeOut::TSharedTimeOut(TTidewire& wire) : wire_(wire), before_(wire.shared_end_) {
  if (wire.TimeOut <= 0) return;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wire.TimeOut);
  wire.shared_end_ = std::min(wire.shared_end_, end);
}

TFallbackTimeOut::TFallbackTimeOut(TTidewire& wire, std::int32_t milliseconds)
    : wire_(wire), applied_(wire.TimeOut == 0), timeSendsBefore_(wire.TimeSends) {
  if (!applied_) return;
  wire.TimeOut = milliseconds;
  wire.TimeSends = true;
}

TFallbackTimeOut::~TFallbackTimeOut() {
  if (!applied_) return;
  wire_.TimeOut = 0;
  wire_.TimeSends = timeSendsBefore_;
}

void TTidewire::CheckConnection() {
  ReportStatus(kStatusCheckingConnection);
  for (int attempts = 0; !Connected; ++attempts) {
    if (attempts > 0 || !OnConnectionRequired) throw Exception(std::string(kErrNotConnected));
    bool handled = false;
    OnConnectionRequired(handled);
    if (!handled) throw Exception(std::string(kErrNotConnected));
  }
}

std::uint16_t TTidewire::Accept() {
  ReportStatus(kStatusAccepting);
  WaitPumping([this] { return AsyncDone || Canceled; });
  if (Canceled) throw ESockError(std::string(kErrAcceptingCanceled));
  if (!LastEventOk) throw ESockError(std::string(kErrDataConnection));
  const platform::SocketHandle accepted = platform::AcceptOnSocket(NativeSocket(), &RemoteAddress);
  platform::AsyncSelect(accepted, NotifyWindow, kSocketNotifyMessage, kSocketEventMask);
  if (Canceled) RaiseAborted(kErrSendAborted);
  if (accepted >= kNoSocket) {
    if (accepted != platform::kInvalidSocket) platform::CloseSocket(accepted);
    throw ERangeError();
  }
  return static_cast<std::uint16_t>(accepted);
}

void TTidewire::RaiseAborted(std::string_view text) {
  Canceled = false;
  throw EAbortError(std::string(text));
}

void TTidewire::HandleNotification(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  try {
    // A notification still queued for a socket closed since then belongs to
    // no connection of ours.
    if (message == kSocketNotifyMessage && wParam != NativeSocket()) return;
    LastEventOk = HighWord(lParam) == 0;
    if (message == kSocketNotifyMessage) {
      switch (LowWord(lParam)) {
        case platform::kEventRead:
          try {
            if (OnReadable) OnReadable(this);
          } catch (...) {
            // A reader's failure must not stop the notifications.
          }
          break;
        case platform::kEventAccept:
          Connected = true;
          if (OnAccept) OnAccept(this);
          break;
        case platform::kEventConnect:
          if (LastEventOk) ConnectionMade();
          break;
        case platform::kEventClose:
          // Unread data keeps the connection until the reader meets its end.
          if (!DataAvailable()) RequestCloseSocket();
          break;
        default:
          break;
      }
    } else if (message == kLookupDoneMessage) {
      LastError = HighWord(lParam);
      // Only the completion of the last lookup started ends the wait.
      if (outstanding_lookups_ > 0 && --outstanding_lookups_ == 0) AsyncDone = true;
    }
  } catch (...) {
    // Notifications arrive through the window procedure, which must not raise.
  }
}

void TTidewire::ReportStatus(std::uint8_t level, std::string_view text) {
  try {
    if (level > ReportLevel) return;
    LastStatus = Secrets.Redacted(text);
    if (OnStatus && !Destroying()) OnStatus(this, std::string(LastStatus));
  } catch (...) {
    // Status reporting never fails an operation.
  }
}

void TTidewire::TraceSent(std::string_view line) {
  // /V shows what went out as the run log does, beside the replies.
  if (ReportLevel >= kLevelReply) ReportStatus(kLevelReply, std::string(kSentMark) + std::string(line));
  Trace(TTraceKind::kSent, line);
}

void TTidewire::Trace(TTraceKind kind, std::string_view text, std::int64_t bytes) {
  if (!OnTrace || Destroying()) return;
  try {
    const std::string shown = Secrets.Redacted(text);
    OnTrace(this, {kind, shown, bytes});
  } catch (...) {
    // A transcript must never change what happens on the connection.
  }
}

void TTidewire::CheckSocketError(std::uint16_t expected, std::string& message) {
  LastError = platform::LastSocketError();
  if (LastError != expected && LastError > kWsaErrorBase) {
    LookUpErrorMessage(static_cast<std::uint16_t>(LastError), message);
    if (OnError) OnError(this, static_cast<std::uint16_t>(LastError), message);
    throw ESockError(message);
  }
  message.clear();
}

void TTidewire::LookUpErrorMessage(std::uint16_t error, std::string& message) {
  ReportStatus(kStatusLookingUpErrorMessage.level, std::string(kStatusLookingUpErrorMessage.text) + message);
  message = SocketErrorMessage(error);
}

std::intptr_t SocketWindowProc(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) {
  auto* owner = static_cast<TTidewire*>(platform::GetWindowOwner(window));
  if (!owner || message < kSocketNotifyMessage) return platform::DefaultWindowProc(window, message, wParam, lParam);
  owner->HandleNotification(message, wParam, lParam);
  return 0;
}
