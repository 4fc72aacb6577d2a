#include "net/Tidewire.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "net/TlsChannel.h"
#include "net/Winsock.h"

namespace {

constexpr std::uint16_t kAddressFamilyInternet = 2;
constexpr int kProtocolTcp = 6;
constexpr int kProtocolDefault = 0;

std::uint16_t ToNetworkOrder(std::uint16_t value) {
  const unsigned char bytes[2] = {static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
  std::uint16_t result;
  std::memcpy(&result, bytes, sizeof result);
  return result;
}

/// "a.b.c.d:port" of an address in network byte order and a port.
std::string AddressText(std::uint32_t address, std::uint16_t port) {
  unsigned char bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
         std::to_string(bytes[3]) + ":" + std::to_string(port);
}

std::uint16_t LowWord(std::intptr_t value) { return static_cast<std::uint16_t>(value & 0xFFFF); }
std::uint16_t HighWord(std::intptr_t value) { return static_cast<std::uint16_t>((value >> 16) & 0xFFFF); }

}  // namespace

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

std::uint16_t TTidewire::OpenSocket(int protocol) {
  const platform::SocketHandle socket = platform::CreateStreamSocket(protocol);
  if (socket >= kNoSocket) {
    if (socket != platform::kInvalidSocket) platform::CloseSocket(socket);
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

std::uint32_t TTidewire::LocalAddress() const {
  return Connected ? platform::LocalAddressOf(NativeSocket()) : 0;
}

template <typename Done>
void TTidewire::WaitPumping(Done done) {
  do {
    platform::SleepMilliseconds(2);
    platform::PumpMessages();
  } while (!done());
}

template <typename Done>
void TTidewire::WaitForConnect(Done done) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kPass = std::chrono::milliseconds(2);
  for (;;) {
    const Clock::time_point passStart = Clock::now();
    WaitForSocket(platform::SocketWait::kWritable);
    platform::PumpMessages();
    if (done()) return;
    // A wake that did not end the wait (another message, or a socket ready
    // before its notification came) must not turn into a spin.
    const auto spent = Clock::now() - passStart;
    if (spent < kPass) {
      platform::SleepMilliseconds(
          static_cast<std::uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(kPass - spent).count()));
    }
  }
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
  const std::uint32_t address = platform::InetAddr(IoBuffer);
  if (address != platform::kNoAddress) {
    RemoteAddress.address = address;
    return;
  }
  RemoteAddress.address = 0;
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
  // After two completions the error flag may be the given-up lookup's.
  if (lookup_after_abandoned_) LastEventOk = platform::FirstAddressOfHostEntry(HostEntryBuffer.get()) != 0;
  if (!LastEventOk) throw ESockError(std::string(kErrLookupFailed));
  RemoteAddress.address = platform::FirstAddressOfHostEntry(HostEntryBuffer.get());
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
    if (RemoteAddress.address != 0) break;
    if (attempts > 0 || !OnInvalidHost) throw ESockError(std::string(kErrNullRemoteAddress));
    bool handled = false;
    OnInvalidHost(handled);
    if (!handled) throw ESockError(std::string(kErrNullRemoteAddress));
  }
  const auto port = static_cast<std::uint16_t>(Port & 0xFFFF);
  RemoteAddress.family = kAddressFamilyInternet;
  RemoteAddress.port = ToNetworkOrder(port);
  AsyncDone = false;
  LastEventOk = true;
  if (platform::ConnectSocket(NativeSocket(), RemoteAddress.address, port) == platform::kSocketError) {
    RaiseUnlessWouldBlock();
  }
  TimerOn();
  // A peer that hangs up at once closes the socket in the same pump step
  // that connected it: the wait ends on that close too, as a failure.
  const std::uint32_t closesBefore = closes_;
  WaitForConnect([&] { return Connected || TimedOut || Canceled || !LastEventOk || closes_ != closesBefore; });
  TimerOff();
  if (!TimedOut && !Canceled && LastEventOk && Connected) {
    Trace(TTraceKind::kConnected, AddressText(RemoteAddress.address, port));
    return;
  }
  RaiseConnectFailure();
}

void TTidewire::RaiseConnectFailure() {
  if (OnConnectionFailed) OnConnectionFailed(this);
  if (TimedOut) throw ESockError(std::string(kErrConnectionTimedOut));
  if (Canceled) throw ESockError(std::string(kErrConnectionCanceled));
  throw ESockError(std::string(kErrConnectionFailed));
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
  SocketHandle = OpenSocket(kProtocolDefault);
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
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  const platform::SocketHandle accepted = platform::AcceptOnSocket(NativeSocket(), &address, &port);
  platform::AsyncSelect(accepted, NotifyWindow, kSocketNotifyMessage, kSocketEventMask);
  RemoteAddress.family = kAddressFamilyInternet;
  RemoteAddress.port = ToNetworkOrder(port);
  RemoteAddress.address = address;
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
          if (!LastEventOk) break;
          Connected = true;
          if (OnConnect) OnConnect(this);
          break;
        case platform::kEventClose:
          // Unread data keeps the connection until the reader meets its end.
          if (!DataAvailable()) RequestCloseSocket();
          break;
        default:
          break;
      }
    } else if (message == kLookupDoneMessage) {
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
