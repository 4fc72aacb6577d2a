#pragma once
// Every text the socket transport shows: the status texts with their levels,
// the failure texts of its exceptions and the WinSock error table.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

/// A status text and the level at which it is reported (8 detail, 4
/// transfers and closes, 1 reply lines).
struct TStatusText {
  std::uint8_t level;
  std::string_view text;
};

inline constexpr std::uint8_t kLevelDetail = 8;
inline constexpr std::uint8_t kLevelTransfer = 4;
inline constexpr std::uint8_t kLevelReply = 1;

inline constexpr TStatusText kStatusCreate{kLevelDetail, "Create"};
inline constexpr TStatusText kStatusDestroy{kLevelDetail, "Destroy"};
inline constexpr TStatusText kStatusInitializingWinsock{kLevelDetail, "Initializing Winsock"};
inline constexpr TStatusText kStatusConnecting{kLevelDetail, "Connecting"};
inline constexpr TStatusText kStatusResolveHost{kLevelDetail, "Resolve Host"};
inline constexpr TStatusText kStatusDisconnecting{kLevelDetail, "Disconnecting"};
inline constexpr TStatusText kStatusCheckingConnection{kLevelDetail, "Checking Connection"};
inline constexpr TStatusText kStatusCanceling{kLevelDetail, "Canceling"};
inline constexpr TStatusText kStatusAbort{kLevelDetail, "Abort"};
inline constexpr TStatusText kStatusTimerOn{kLevelDetail, "Timer On"};
inline constexpr TStatusText kStatusTimerOff{kLevelDetail, "Timer Off"};
inline constexpr TStatusText kStatusTimerTriggered{kLevelDetail, "Timer Triggered"};
inline constexpr TStatusText kStatusLookingUpErrorMessage{kLevelDetail, "Looking Up Error Message"};
inline constexpr TStatusText kStatusDataAvailable{kLevelDetail, "Data Available"};
inline constexpr TStatusText kStatusClearingInput{kLevelDetail, "Clearing Input"};
inline constexpr TStatusText kStatusWrite{kLevelDetail, "Write"};
inline constexpr TStatusText kStatusWriteln{kLevelDetail, "Writeln"};
inline constexpr TStatusText kStatusReadLn{kLevelDetail, "ReadLn"};
inline constexpr TStatusText kStatusTransaction{kLevelDetail, "Transaction"};
inline constexpr TStatusText kStatusSendStream{kLevelDetail, "SendStream"};
inline constexpr TStatusText kStatusSendingBuffer{kLevelTransfer, "Sending Buffer"};
inline constexpr TStatusText kStatusAccepting{kLevelTransfer, "Accepting"};
inline constexpr TStatusText kStatusRequestCloseSocket{kLevelTransfer, "Request Close Socket"};
inline constexpr TStatusText kStatusStartTls{kLevelDetail, "Start TLS"};
// The reply line read by Transaction is reported at kLevelReply as it stands,
// each line sent there too, after this mark.
inline constexpr std::string_view kSentMark = "> ";

/// The share of a long SendStream sent ("37%"), then the megabytes sent and
/// in all.
inline constexpr std::string_view kProgressSending = "sending the message: %s (%s of %s MB)";

// Failure texts of the socket component's exceptions.
inline constexpr std::string_view kErrWinsockInit = "Initializaton of windows sockets failed";
inline constexpr std::string_view kErrAlreadyConnected = "Already connected";
inline constexpr std::string_view kErrLookupTimedOut = "Host Lookup Timed Out";
inline constexpr std::string_view kErrLookupCanceled = "Host Lookup Canceled";
inline constexpr std::string_view kErrLookupFailed = "Host Lookup Failed";
inline constexpr std::string_view kErrNullRemoteAddress = "Null Remote Address";
inline constexpr std::string_view kErrConnectionTimedOut = "Connection Timed out";
inline constexpr std::string_view kErrConnectionCanceled = "Connection Canceled";
inline constexpr std::string_view kErrConnectionFailed = "Connection Failed";
inline constexpr std::string_view kErrNotConnected = "Not Connected";
inline constexpr std::string_view kErrAcceptingCanceled = "Accepting Canceled";
inline constexpr std::string_view kErrDataConnection = "Error creating Data Connection";
inline constexpr std::string_view kErrSendAborted = "Socket send aborted";
inline constexpr std::string_view kErrReadLnAborted = "Socket readln aborted";
inline constexpr std::string_view kErrNoTimer = "No Timer";
inline constexpr std::string_view kErrHostTooLong = "Host name too long";
inline constexpr std::string_view kErrLineTooLong = "Socket readln line too long";
inline constexpr std::string_view kErrTlsRunning = "TLS is already running on this connection";
inline constexpr std::string_view kErrTlsClosedInHandshake = "The server closed the connection during the TLS handshake";
inline constexpr std::string_view kErrTlsEarlyData = "The server sent data before the TLS handshake: \"%s\"";
inline constexpr std::string_view kErrTlsNotTls = "The server did not answer with TLS: \"%s\"";
inline constexpr std::string_view kErrTlsTimedOut = "TLS handshake timed out";
inline constexpr std::string_view kErrTlsAborted = "TLS handshake aborted";
inline constexpr std::string_view kUnknownErrorPrefix = "Unknown Error No. ";
// The reasons after the texts above, in the user's terms.
inline constexpr std::string_view kReasonNameUnknown = ": no address is known for the name %s";
inline constexpr std::string_view kReasonNameNotAnswered = ": the name service did not answer for %s just now";
inline constexpr std::string_view kReasonRefused = ": connection refused by %s (nothing listens there)";
inline constexpr std::string_view kReasonAt = " at %s";

/// One row of the WinSock error table.
struct TSocketErrorText {
  std::int32_t number;
  std::string_view text;
};

/// The WinSock error texts, ascending, with the never-matching row 0 last.
inline constexpr std::array<TSocketErrorText, 51> kSocketErrorTexts{{
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
    {0, "Unrecognized error code"},
}};

// WinSock error numbers the transport and its users act on.
inline constexpr std::uint16_t kWsaWouldBlock = 10035;
inline constexpr std::uint16_t kWsaConnectionAborted = 10053;
inline constexpr std::uint16_t kWsaConnectionReset = 10054;
inline constexpr std::uint16_t kWsaNotConnected = 10057;
inline constexpr std::uint16_t kWsaConnectionRefused = 10061;
inline constexpr std::uint16_t kWsaShutDown = 10058;
inline constexpr std::uint16_t kWsaHostNotFound = 11001;
inline constexpr std::uint16_t kWsaTryAgain = 11002;  // the resolver could not answer now
inline constexpr std::int32_t kWsaErrorBase = 10000;

/// Bytes sent over a connection the peer has already dropped fail with one
/// of these.
inline constexpr std::array<std::int32_t, 4> kHangUpErrors{kWsaConnectionAborted, kWsaConnectionReset,
                                                          kWsaNotConnected, kWsaShutDown};

/// The message for a WinSock error: "number:text" from the table, "Unknown
/// Error No. number" for a number without a row, empty for 0.
std::string SocketErrorMessage(std::uint16_t error);
/// The table's text for error alone ("Connection refused").
std::string SocketErrorText(std::uint16_t error);
