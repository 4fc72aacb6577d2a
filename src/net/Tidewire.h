#pragma once
// TTidewire: the asynchronous TCP client component. Socket events and host
// lookups arrive as messages at a hidden window of class
// "TidewireWindowClass"; every wait pumps the thread's messages, so event
// handlers run (and may cancel) while an operation is in progress.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/Component.h"
#include "core/Exceptions.h"
#include "core/Secrets.h"
#include "core/Stream.h"
#include "core/StringList.h"
#include "net/SocketTexts.h"
#include "net/ThreadTimer.h"
#include "platform/FastFallback.h"
#include "platform/Messages.h"
#include "platform/Sockets.h"
#include "platform/Tls.h"

class TTlsChannel;

using TOnStatus = std::function<void(TObject* Sender, const std::string& Status)>;
using TOnHostResolved = std::function<void(TObject* Sender)>;
using TOnSocketError = std::function<void(TObject* Sender, std::uint16_t Error, const std::string& Message)>;

/// What a trace event reports.
enum class TTraceKind : std::uint8_t {
  kConnected,   // the connection stands; Text: the server's address and port, "192.0.2.1:25", "[2001:db8::1]:25"
  kTlsStarted,  // a TLS session carries the transfers from now on (TlsInfo tells its facts)
  kSent,        // Writeln sent a line; Text: the line without its CR LF
  kReceived,    // ReadLn took a line; Text: the line without its line end
  kData,        // Write sent a block, or SendStream ended; Bytes: the bytes that went out
  kClosed,      // the connection was closed
  kConnectFailed,  // one of the server's addresses took no connection; Text: that address and port, ": ", why
};

/// One trace event; Text and Bytes as its kind says (empty and 0 otherwise).
struct TTraceEvent {
  TTraceKind Kind;
  std::string_view Text;
  std::int64_t Bytes = 0;
};
using TOnTrace = std::function<void(TObject* Sender, const TTraceEvent& Event)>;

inline constexpr const char* kSocketWindowClass = "TidewireWindowClass";
inline constexpr std::uint32_t kSocketNotifyMessage = platform::kMsgUser + 101;  // 1125
inline constexpr std::uint32_t kLookupDoneMessage = platform::kMsgUser + 102;    // 1126
/// Data arrived, urgent data, incoming connection, connect finished, closed.
inline constexpr std::int32_t kSocketEventMask = platform::kEventRead | platform::kEventOob |
                                                 platform::kEventAccept | platform::kEventConnect |
                                                 platform::kEventClose;
inline constexpr std::uint16_t kNoSocket = 0xFFFF;
inline constexpr int kIoBufferData = 65536;
inline constexpr int kHostEntrySize = 1024;
/// Upper bound of one sleep in a wait; the wait normally ends much earlier,
/// on readiness or on a message (the time-out timer included).
inline constexpr std::uint32_t kMaxWaitMilliseconds = 100;

/// "192.0.2.1:25" or "[2001:db8::1]:25": an end point as the trace shows it.
std::string EndPointText(const platform::SocketAddress& address);

/// The reusable asynchronous TCP client; owned by its owner component, it
/// owns one socket, its notification window, a time-out TThreadTimer and a
/// 65 537-byte working buffer. The SMTP client derives from it.
class TTidewire : public TComponent {
 public:
  /// Starts the sockets library (counted) and opens the first socket.
  /// Raises ESockError "Initializaton of windows sockets failed".
  explicit TTidewire(TComponent* owner);
  /// Fires neither OnStatus nor OnDisconnect; the last instance ends the library.
  ~TTidewire() override;

  // Settings.
  std::string Host;            // name, dotted IPv4 address or IPv6 address (without brackets)
  std::int32_t Port = 0;       // low 16 bits used
  std::int32_t TimeOut = 0;    // ms per timed wait (see TSharedTimeOut); 0 = untimed; negative = range error
  std::int32_t ReportLevel = 0;
  /// Extends the time-out to the sends: a send that makes no progress for
  /// TimeOut ms ends as a timed-out wait does (TimedOut set, EAbortError
  /// "Socket send aborted"). Off by default, so that sends never time out.
  bool TimeSends = false;
  /// The secrets the connection carries (passwords, tokens, their encoded
  /// forms): no status text or trace line shows one; each reads "***".
  TSecretList Secrets;

  // Events.
  TNotifyEvent OnDisconnect;
  TNotifyEvent OnConnect;
  THandlerEvent OnInvalidHost;
  TOnHostResolved OnHostResolved;
  TOnStatus OnStatus;
  TNotifyEvent OnConnectionFailed;
  TNotifyEvent OnPacketSent;           // after each send call of SendStream
  /// How far a long SendStream got ("sending the message: 37% (...)"), at
  /// most once per ProgressInterval, the first time after one interval; also
  /// a status text at the reply level. A handler must not raise.
  std::function<void(const std::string& progress)> OnProgress;
  std::int32_t ProgressInterval = 1000;  // ms
  THandlerEvent OnConnectionRequired;  // CheckConnection: one chance to connect
  TNotifyEvent OnReadable;
  TNotifyEvent OnAccept;
  TOnSocketError OnError;              // just before CheckSocketError raises
  /// The transcript seam: the connection, each line sent and received and
  /// the byte counts of the data. A handler must not raise.
  TOnTrace OnTrace;

  // State, readable by users and subclasses.
  bool Connected = false;
  bool Canceled = false;
  bool TimedOut = false;
  std::int32_t LastError = 0;
  std::string LastStatus;
  std::string LastReply;
  std::int16_t ReplyNumber = 0;
  // 64 bits: a message with a large attachment passes 2 GiB.
  std::int64_t BytesSent = 0;
  std::int64_t BytesTotal = 0;
  TStringList WinsockInfo;  // filled for the first instance only

  /// Waits for an incoming connection and returns its 16-bit handle.
  /// Raises ESockError "Accepting Canceled" / "Error creating Data
  /// Connection", EAbortError "Socket send aborted", ERangeError.
  virtual std::uint16_t Accept();
  /// Resolves Host and connects to Port: the addresses race (RFC 8305
  /// fast fallback: IPv6 and IPv4 in turn, each next attempt 250 ms after
  /// the one before or at once when one failed, the first connection wins),
  /// all of them within one TimeOut; fires OnInvalidHost (one retry),
  /// OnHostResolved (once per lookup), OnConnect, and OnConnectionFailed once
  /// when no address took it. Raises ESockError ("Already connected", "Host
  /// Lookup Timed Out", "Host Lookup Canceled", "Null Remote Address",
  /// "Connection Timed out", "Connection Canceled", "Connection Failed", or
  /// the WinSock error text of the last attempt when the call to start it
  /// failed: no socket of its family, say).
  virtual void Connect();
  /// Closes the socket (and opens a fresh one); fires OnDisconnect.
  virtual void Disconnect();
  /// Writeln(command), then ReadLn into reply and LastReply; sets
  /// ReplyNumber from the leading digits (0 for none or an empty reply).
  /// Raises what Writeln and ReadLn raise; ERangeError for a code beyond 16 bits.
  virtual void Transaction(const std::string& command, std::string& reply);
  /// Transaction for a command whose bytes from secretFrom on are a secret:
  /// the trace shows them as "***", and IoBuffer, which the line went out
  /// through, is wiped when the exchange ends, however it ends.
  void SecretTransaction(const std::string& command, size_t secretFrom, std::string& reply);
  /// Cancel, through the virtual slot so that subclasses can add to it.
  virtual void Abort();

  /// Sets Canceled: the running wait or transfer ends at its next test.
  void Cancel();
  /// Raises Exception "Not Connected" unless connected after at most one
  /// OnConnectionRequired that sets Handled.
  void CheckConnection();
  /// Fills ResolvedAddresses, and RemoteAddress with the first of them; a
  /// name is looked up asynchronously (LastError then holds the lookup's
  /// error number, 0 when it found addresses). An address of all zeros
  /// resolves to nothing. Raises ESockError "Host Lookup Timed Out", "Host
  /// Lookup Canceled", "Host Lookup Failed", "Host name too long".
  void ResolveHost();
  /// Closes the socket and, unless the component is closing, opens and
  /// registers a fresh one; fires OnDisconnect. Raises a WinSock error text.
  void RequestCloseSocket();
  /// Starts a timed wait of TimeOut ms, or less where a TSharedTimeOut ends
  /// sooner (clears TimedOut). Raises ERangeError for a negative TimeOut,
  /// Exception "No Timer".
  void TimerOn();
  void TimerOff();
  /// The timer's handler: marks the time-out and aborts the running wait.
  void TimerTriggered(TObject* Sender);
  /// For a loop that may be kept too busy for the timer's message to come
  /// (input that never stops): once the running timed wait's time is up,
  /// does what the timer does and returns true.
  bool WaitTimeUp();
  /// Socket events (1125) and lookup completions (1126) of the notification
  /// window; never raises.
  void HandleNotification(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

  /// Sends text (cut at its first zero byte). Raises ERangeError for 65 536
  /// or more bytes (nothing sent), EAbortError "Socket send aborted", a
  /// WinSock error text.
  void Write(const std::string& text);
  /// Write(text + CR LF).
  void Writeln(const std::string& text);
  /// Sends the lines, each with CR LF, as many in one send as IoBuffer
  /// holds; traces each as Writeln does. Raises as Write.
  void WriteLines(const std::vector<std::string>& lines);
  /// Sends length bytes of data (0: up to its first zero byte, at most
  /// 65 535). Dispatches no messages. Raises as Write.
  void SendBuffer(const void* data, std::uint16_t length);
  /// Sends the whole stream from its start in chunks of up to 65 536 bytes,
  /// pumping messages after each send call; fires OnPacketSent and keeps
  /// BytesSent/BytesTotal. The closingLines go, each with CR LF, in the
  /// same send as the stream's last bytes, traced as Writeln traces. Reports progress
  /// (OnProgress). Raises EAbortError "Socket send aborted", a WinSock error
  /// text, and what the stream's Read raises.
  void SendStream(TStream& stream, const std::vector<std::string>& closingLines = {});
  /// Reads exactly one line, line feed included; empty when the peer closed
  /// (a partial line is dropped). Raises EAbortError "Socket readln aborted"
  /// on cancel or time-out, ESockError "Socket readln line too long" for a
  /// line beyond 65 536 bytes, a WinSock error text.
  void ReadLn(std::string& line);
  /// True when at least one byte waits to be read.
  bool DataAvailable();
  /// DataAvailable without its status text: for a dialogue that looks for
  /// input between its steps.
  bool InputWaiting();
  /// Discards up to 65 536 waiting bytes; ignores every error.
  void ClearInput();
  /// Turns the connected socket into a TLS channel: the handshake (SNI and
  /// certificate check as settings say), timed by TimeOut and ended by a
  /// cancel like every wait, then the certificate check; from then on every
  /// transfer above carries plaintext through the session, and closing the
  /// socket sends close_notify first. Takes no byte of the socket before the
  /// handshake. Raises ESockError "Not Connected", "TLS is already running
  /// on this connection", a text naming the TLS failure (certificate,
  /// handshake, a server that closed or did not answer with TLS), a WinSock
  /// error text; EAbortError "TLS handshake timed out" / "TLS handshake
  /// aborted".
  void StartTls(const platform::TlsSettings& settings);
  /// True while a TLS session carries the transfers.
  bool TlsActive() const { return tls_ != nullptr; }
  /// Facts of the running TLS session; empty without one.
  platform::TlsSessionInfo TlsInfo() const;
  /// This end of the connection; family kNone when there is none.
  platform::SocketAddress LocalAddress() const;

  /// Field n (from 1) of text cut at delimiter; empty when there is none.
  static void ExtractField(const std::string& text, char delimiter, std::int32_t n, std::string& field);

  /// Delivers text to OnStatus (and LastStatus) when level <= ReportLevel.
  /// Never raises.
  void ReportStatus(std::uint8_t level, std::string_view text);
  void ReportStatus(const TStatusText& status) { ReportStatus(status.level, status.text); }
  /// Fetches LastError; for a number above 10000 other than expected, fires
  /// OnError and raises ESockError with its message. Otherwise empties message.
  void CheckSocketError(std::uint16_t expected, std::string& message);
  /// message := the text for error ("10061:Connection refused", "Unknown
  /// Error No. 10101", empty for 0).
  void LookUpErrorMessage(std::uint16_t error, std::string& message);

 protected:
  /// Starts the library and opens the first socket (linger on, 0 s).
  /// Raises ESockError "Initializaton of windows sockets failed".
  void InitWinsock();

  // The one seam for the bytes on the wire, so that a session layer (TLS)
  // can sit between the socket and IoBuffer. Results as the socket calls:
  // a count, 0 for a close by the peer, or platform::kSocketError.
  virtual int SendBytes(const void* data, int length);
  virtual int ReceiveBytes(void* buffer, int length);
  virtual int PeekBytes(void* buffer, int length);
  /// Sleeps until the socket is ready as asked or a message waits (bounded).
  virtual void WaitForSocket(platform::SocketWait what);

  char IoBuffer[kIoBufferData + 1];
  std::uint16_t SocketHandle = kNoSocket;
  platform::WindowHandle NotifyWindow = 0;
  TThreadTimer* Timer = nullptr;
  std::unique_ptr<char[]> HostEntryBuffer;
  /// The address being connected to or connected to, with Port; family
  /// kNone while the host is not resolved.
  platform::SocketAddress RemoteAddress;
  /// Every address of Host, in the resolver's order.
  std::vector<platform::SocketAddress> ResolvedAddresses;
  bool LastEventOk = true;
  bool AsyncDone = false;
  bool Closing = false;
  platform::SocketsStartupData WinsockData;

 private:
  /// Opens a socket; kNoSocket when the system gives none (the error is then
  /// the last socket error). Raises ERangeError when its handle does not fit 16 bits.
  std::uint16_t OpenSocket(int protocol, platform::AddressFamily family = platform::AddressFamily::kIPv4);
  /// Runs race until it is decided, a cancel or the time-out; pumps
  /// messages, traces each address that failed, keeps the last failure in last.
  void RunRace(platform::ConnectRace& race, platform::ConnectFailure& last);
  /// Makes the race's connection the component's socket; fires OnConnect.
  /// Raises ERangeError for a handle beyond 16 bits, a WinSock error text.
  void TakeConnection(platform::ConnectRace& race);
  /// The connection stands: Connected, then OnConnect.
  void ConnectionMade();
  /// Asks for the socket's notifications at NotifyWindow; false on failure.
  bool RegisterSocket(std::uint16_t socket);
  /// Sleep 2 ms and one pump step until done() holds.
  template <typename Done>
  void WaitPumping(Done done);
  /// Starts the asynchronous lookup of the name in IoBuffer; false when it
  /// cannot be started.
  bool StartLookup();
  platform::SocketHandle NativeSocket() const;
  /// CheckSocketError for a failed call whose would-block result is normal.
  void RaiseUnlessWouldBlock();
  [[noreturn]] void RaiseConnectFailure(const platform::ConnectFailure& last);
  /// "Null Remote Address" and why no address came.
  [[noreturn]] void RaiseNoAddress();
  [[noreturn]] void RaiseAborted(std::string_view text);
  /// Sends close_notify and drops the TLS session, if one runs.
  void EndTls();
  /// Fires OnTrace with the text redacted; never raises.
  void Trace(TTraceKind kind, std::string_view text = {}, std::int64_t bytes = 0);
  /// A line that went out: to OnTrace, and as "> " and the line to /V (kLevelReply).
  void TraceSent(std::string_view line);
  /// Reports how far SendStream got (OnProgress and a status text).
  void ReportProgress();
  /// Under TimeSends: when nothing went out since lastProgress for TimeOut
  /// ms, marks the time-out and aborts, as the timer does; true then.
  bool SendStalled(std::chrono::steady_clock::time_point lastProgress);
  /// Sends count bytes until all went out, a cancel, or a stall under
  /// TimeSends; onSent(n) after each send call that took n bytes. Pumps
  /// messages after each pass when pumping. False when the peer closed.
  template <typename OnSent>
  bool SendWhole(const char* bytes, int count, bool pumping, std::chrono::steady_clock::time_point& lastProgress,
                 OnSent onSent);
  /// The reading part of Transaction: ReadLn into reply and LastReply, the
  /// reply's status text and ReplyNumber.
  void ReadReply(std::string& reply);
  /// The sending part of Write and Writeln (with the "Write" status, no
  /// trace): text, then ending, through IoBuffer; returns the bytes sent.
  size_t SendText(std::string_view text, std::string_view ending = {});

  friend class TSharedTimeOut;

  /// When the running timed wait ends; never while untimed.
  std::chrono::steady_clock::time_point wait_end_ = std::chrono::steady_clock::time_point::max();
  /// When the waits of a TSharedTimeOut must end by; never without one.
  std::chrono::steady_clock::time_point shared_end_ = std::chrono::steady_clock::time_point::max();
  char peek_byte_ = 0;  // DataAvailable peeks here, never into a line being read
  platform::AddressFamily socket_family_ = platform::AddressFamily::kIPv4;
  bool first_socket_ = true;  // the open socket is the first one, which resets its connection on close
  std::uint32_t closes_ = 0;  // sockets closed so far
  int outstanding_lookups_ = 0;
  bool lookup_after_abandoned_ = false;  // the running lookup shares its wait with a given-up one
  // Buffers of lookups that were given up (time-out, cancel) and may still
  // be written by their late completion; freed with the component.
  std::vector<std::unique_ptr<char[]>> retired_host_entries_;
  std::unique_ptr<TTlsChannel> tls_;  // while TLS runs on the socket
};

/// Makes the timed waits of wire in its scope share one time-out: together
/// they end TimeOut ms after its start at the latest, where each would
/// otherwise have TimeOut ms of its own (a reply of many lines is one wait,
/// however slowly its lines come). Without a TimeOut it changes nothing;
/// nested in another, the earlier end holds. Owned by the operation whose
/// waits it bounds.
class TSharedTimeOut {
 public:
  explicit TSharedTimeOut(TTidewire& wire);
  ~TSharedTimeOut() { wire_.shared_end_ = before_; }
  TSharedTimeOut(const TSharedTimeOut&) = delete;
  TSharedTimeOut& operator=(const TSharedTimeOut&) = delete;

 private:
  TTidewire& wire_;
  std::chrono::steady_clock::time_point before_;
};

/// Gives wire a time-out for the life of the scope where it has none
/// (TimeOut 0): a job that set no time-out still waits no longer than the
/// SMTP standard lets each step take, never for ever. The sends are timed
/// too (TimeSends) while it stands. With a TimeOut of its own the wire
/// keeps it, and its TimeSends. Owned by the operation whose waits it bounds.
class TFallbackTimeOut {
 public:
  TFallbackTimeOut(TTidewire& wire, std::int32_t milliseconds);
  ~TFallbackTimeOut();
  TFallbackTimeOut(const TFallbackTimeOut&) = delete;
  TFallbackTimeOut& operator=(const TFallbackTimeOut&) = delete;

 private:
  TTidewire& wire_;
  bool applied_;
  bool timeSendsBefore_;
};

/// The window procedure of "TidewireWindowClass": hands every message of
/// 1125 or more to the owner's HandleNotification and answers 0; the rest
/// goes to the default procedure.
std::intptr_t SocketWindowProc(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam);
