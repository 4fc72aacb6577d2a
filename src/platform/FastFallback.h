#pragma once
// Fast fallback between the addresses of one server (RFC 8305): the order to
// try them in, when each attempt starts, and the race of the attempts on
// non-blocking sockets. A silent address costs a short delay instead of a
// whole time-out. The order and the schedule are the same on every system;
// each backend supplies only starting a connect and waiting for connects.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/Sockets.h"

namespace platform {

/// addresses in the order to try them: the family of the first address
/// (the resolver's preference) first, then the two families in turn, each
/// family's addresses in their given order; the rest of the one family that
/// is left over at the end.
std::vector<SocketAddress> InterleaveFamilies(const std::vector<SocketAddress>& addresses);

/// How long an attempt has before the next one starts beside it.
inline constexpr std::chrono::milliseconds kConnectAttemptDelay{250};

/// When each of a number of connect attempts starts: the first at once,
/// every next one kConnectAttemptDelay after the one before it, or at once
/// when an attempt has failed.
class FallbackSchedule {
 public:
  using Clock = std::chrono::steady_clock;

  FallbackSchedule(std::size_t count, Clock::time_point start) : count_(count), due_(start) {}
  /// The attempt due at now, counted as started at now; nullopt while none is.
  std::optional<std::size_t> StartDue(Clock::time_point now);
  /// An attempt failed at now: the next one is due at once.
  void Failed(Clock::time_point now);
  /// How long after now the next attempt falls due (0 when it is due);
  /// nullopt when every attempt has started.
  std::optional<Clock::duration> UntilDue(Clock::time_point now) const;
  bool AllStarted() const { return started_ == count_; }

 private:
  std::size_t count_;
  std::size_t started_ = 0;
  Clock::time_point due_;
};

/// An attempt that took no connection.
struct ConnectFailure {
  SocketAddress address;
  int error = 0;          // WinSock number
  bool rejected = false;  // by the call that was to start it (no socket, an unusable address), not by the network
};

/// Connects to one of several addresses (each with its port): the attempts
/// start in the InterleaveFamilies order as FallbackSchedule says and run
/// side by side; the first that connects wins and the others are closed.
/// Its sockets are the layer's own stream sockets in non-blocking mode,
/// registered for no notifications.
class ConnectRace {
 public:
  explicit ConnectRace(const std::vector<SocketAddress>& addresses);
  /// Closes every socket the race still holds.
  ~ConnectRace();
  ConnectRace(const ConnectRace&) = delete;
  ConnectRace& operator=(const ConnectRace&) = delete;

  /// Starts the attempts that are due, then waits up to maxMilliseconds (no
  /// longer than until the next attempt falls due) for an attempt to end or
  /// a message to wait in the thread's queue, and takes note of the attempts
  /// that ended. Does nothing once the race is decided.
  void Run(std::uint32_t maxMilliseconds);
  /// An attempt connected, or every attempt failed.
  bool Decided() const { return winner_.has_value() || (pending_.empty() && schedule_.AllStarted()); }
  bool Won() const { return winner_.has_value(); }
  /// Hands the connected socket over to the caller (the race no longer
  /// closes it) and where it is connected to; kInvalidSocket while none is.
  SocketHandle TakeConnected(SocketAddress& address);
  /// The attempts that failed since the last call, in the order they failed.
  std::vector<ConnectFailure> TakeFailures();
  /// The addresses of the attempts started and still waiting for an answer.
  std::vector<SocketAddress> Pending() const;

 private:
  struct Attempt {
    SocketAddress address;
    SocketHandle socket;
  };
  void Start(const SocketAddress& address, FallbackSchedule::Clock::time_point now);
  void Fail(const Attempt& attempt, int error, FallbackSchedule::Clock::time_point now);

  std::vector<SocketAddress> order_;
  FallbackSchedule schedule_;
  std::vector<Attempt> pending_;
  std::vector<ConnectFailure> failures_;
  std::optional<Attempt> winner_;
};

namespace detail {

/// What a backend's StartConnect gives: a socket whose connect runs (or has
/// already ended), or none with the error of the failure.
struct ConnectStart {
  SocketHandle socket = kInvalidSocket;
  int error = 0;
  bool rejected = false;  // see ConnectFailure
};
/// A non-blocking stream socket of address's family with a connect to
/// address started on it.
ConnectStart StartConnect(const SocketAddress& address);

inline constexpr int kConnectRunning = -1;
/// Waits up to maxMilliseconds for a connect on one of sockets to end, or a
/// message to wait in the thread's queue (timers included); looks at every
/// socket even when a message waits already. For each socket in its order:
/// kConnectRunning, 0 when connected, or the WinSock error of its failure.
std::vector<int> WaitForConnects(const std::vector<SocketHandle>& sockets, std::uint32_t maxMilliseconds);

}  // namespace detail

}  // namespace platform
