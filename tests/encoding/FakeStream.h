#pragma once
// A memory-backed stream that records what is asked of it and can be told to
// misbehave: claim more bytes than it yields, yield less per read than
// asked, take fewer than it is given, or raise on a chosen call.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/Exceptions.h"
#include "core/Stream.h"

class FakeStream : public TStream {
 public:
  explicit FakeStream(std::string content = {}) : data(std::move(content)) {}

  std::int64_t Read(void* buffer, std::int64_t count) override {
    readRequests.push_back(count);
    if (throwOnRead) throw EStreamError("fake read failure");
    // A reader that never stops must fail the test, not hang it.
    if (readRequests.size() > kReadBudget) throw EStreamError("fake read budget spent");
    const std::int64_t available = std::min<std::int64_t>(yieldLimit, static_cast<std::int64_t>(data.size())) - position;
    const std::int64_t n = std::max<std::int64_t>(0, std::min({count, available, readCap}));
    if (n > 0) std::memcpy(buffer, data.data() + position, static_cast<size_t>(n));
    position += n;
    return n;
  }

  std::int64_t Write(const void* buffer, std::int64_t count) override {
    writes.emplace_back(static_cast<const char*>(buffer), static_cast<size_t>(count));
    if (static_cast<int>(writes.size()) == throwOnWrite) throw EStreamError("fake write failure");
    const std::int64_t taken = static_cast<int>(writes.size()) == shortWrite ? count / 2 : count;
    const size_t end = static_cast<size_t>(position + taken);
    if (data.size() < end) data.resize(end);
    std::memcpy(data.data() + position, buffer, static_cast<size_t>(taken));
    position += taken;
    return taken;
  }

  std::int64_t Seek(std::int64_t offset, std::uint16_t origin) override {
    seeks.emplace_back(offset, origin);
    const std::int64_t size = claimedSize >= 0 ? claimedSize : static_cast<std::int64_t>(data.size());
    switch (origin) {
      case soFromBeginning: position = offset; break;
      case soFromCurrent: position += offset; break;
      case soFromEnd: position = size + offset; break;
      default: break;
    }
    return position;
  }

  static constexpr size_t kReadBudget = 100000;

  std::string data;
  std::int64_t position = 0;
  std::int64_t claimedSize = -1;    // >= 0: the size reported instead of the real one
  std::int64_t yieldLimit = INT64_MAX;  // reads stop yielding at this offset
  std::int64_t readCap = INT64_MAX;     // the most one read yields
  bool throwOnRead = false;
  int throwOnWrite = 0;  // 1-based number of the Write that raises; 0: none
  int shortWrite = 0;    // 1-based number of the Write that takes only half
  std::vector<std::int64_t> readRequests;
  std::vector<std::string> writes;
  std::vector<std::pair<std::int64_t, std::uint16_t>> seeks;
};
