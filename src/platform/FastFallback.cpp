#include "platform/FastFallback.h"

#include <algorithm>
#include <utility>

namespace platform {

std::vector<SocketAddress> InterleaveFamilies(const std::vector<SocketAddress>& addresses) {
  if (addresses.empty()) return {};
  std::vector<SocketAddress> preferred;
  std::vector<SocketAddress> other;
  for (const SocketAddress& address : addresses) {
    (address.family == addresses.front().family ? preferred : other).push_back(address);
  }
  std::vector<SocketAddress> order;
  order.reserve(addresses.size());
  for (std::size_t i = 0; i < std::max(preferred.size(), other.size()); ++i) {
    if (i < preferred.size()) order.push_back(preferred[i]);
    if (i < other.size()) order.push_back(other[i]);
  }
  return order;
}

std::optional<std::size_t> FallbackSchedule::StartDue(Clock::time_point now) {
  if (started_ == count_ || now < due_) return std::nullopt;
  due_ = now + kConnectAttemptDelay;
  return started_++;
}

void FallbackSchedule::Failed(Clock::time_point now) { due_ = std::min(due_, now); }

std::optional<FallbackSchedule::Clock::duration> FallbackSchedule::UntilDue(Clock::time_point now) const {
  if (started_ == count_) return std::nullopt;
  return std::max(due_ - now, Clock::duration::zero());
}

ConnectRace::ConnectRace(const std::vector<SocketAddress>& addresses)
    : order_(InterleaveFamilies(addresses)), schedule_(order_.size(), FallbackSchedule::Clock::now()) {}

ConnectRace::~ConnectRace() {
  for (const Attempt& attempt : pending_) CloseSocket(attempt.socket);
  if (winner_ && winner_->socket != kInvalidSocket) CloseSocket(winner_->socket);
}

void ConnectRace::Run(std::uint32_t maxMilliseconds) {
  using Clock = FallbackSchedule::Clock;
  if (Decided()) return;
  Clock::time_point now = Clock::now();
  while (const std::optional<std::size_t> due = schedule_.StartDue(now)) Start(order_[*due], now);
  if (pending_.empty()) return;  // every attempt failed at its start
  std::chrono::milliseconds wait(maxMilliseconds);
  if (const std::optional<Clock::duration> untilDue = schedule_.UntilDue(now)) {
    wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(*untilDue));
  }
  std::vector<SocketHandle> sockets;
  for (const Attempt& attempt : pending_) sockets.push_back(attempt.socket);
  const std::vector<int> ends = detail::WaitForConnects(sockets, static_cast<std::uint32_t>(wait.count()));
  now = Clock::now();
  std::vector<Attempt> running;
  for (std::size_t i = 0; i < pending_.size(); ++i) {
    if (ends[i] == detail::kConnectRunning) {
      running.push_back(pending_[i]);
    } else if (ends[i] != 0) {
      Fail(pending_[i], ends[i], now);
    } else if (!winner_) {
      winner_ = pending_[i];
    } else {
      CloseSocket(pending_[i].socket);  // a second connection at the same moment: the first in order wins
    }
  }
  pending_ = std::move(running);
  if (!winner_) return;
  for (const Attempt& attempt : pending_) CloseSocket(attempt.socket);
  pending_.clear();
}

void ConnectRace::Start(const SocketAddress& address, FallbackSchedule::Clock::time_point now) {
  const detail::ConnectStart start = detail::StartConnect(address);
  if (start.socket != kInvalidSocket) {
    pending_.push_back({address, start.socket});
    return;
  }
  failures_.push_back({address, start.error, start.rejected});
  schedule_.Failed(now);
}

void ConnectRace::Fail(const Attempt& attempt, int error, FallbackSchedule::Clock::time_point now) {
  CloseSocket(attempt.socket);
  failures_.push_back({attempt.address, error, false});
  schedule_.Failed(now);
}

SocketHandle ConnectRace::TakeConnected(SocketAddress& address) {
  if (!winner_) return kInvalidSocket;
  address = winner_->address;
  return std::exchange(winner_->socket, kInvalidSocket);
}

std::vector<ConnectFailure> ConnectRace::TakeFailures() { return std::exchange(failures_, {}); }

std::vector<SocketAddress> ConnectRace::Pending() const {
  std::vector<SocketAddress> addresses;
  for (const Attempt& attempt : pending_) addresses.push_back(attempt.address);
  return addresses;
}

}  // namespace platform
