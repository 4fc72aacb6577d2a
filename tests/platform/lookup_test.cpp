#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "platform/RecordingWindow.h"
#include "platform/Sockets.h"

namespace {

constexpr int kNoBufferSpace = 10055;
constexpr char kUntouched = '\x5A';

int ErrorOf(const RecordedMessage& m) { return static_cast<int>((m.lParam >> 16) & 0xFFFF); }
int SizeOf(const RecordedMessage& m) { return static_cast<int>(m.lParam & 0xFFFF); }

class HostLookupTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(session.result, 0); }

  /// Runs one lookup into buffer (at offset) and returns its completion.
  RecordedMessage LookUp(const char* name, std::vector<char>& buffer, std::size_t offset = 0) {
    RecordingWindow window;
    EXPECT_TRUE(platform::AsyncLookupHost(window.Handle(), kLookupMessage, name, buffer.data() + offset,
                                          static_cast<int>(buffer.size() - offset)));
    EXPECT_TRUE(PumpUntil([&] { return !window.messages.empty(); }, std::chrono::seconds(30)));
    if (window.messages.empty()) return {0, 0, -1};
    EXPECT_EQ(window.messages.size(), 1u);
    return window.messages.front();
  }

  SocketsSession session;
};

TEST_F(HostLookupTest, KnownNamesGiveTheirAddresses) {
  struct Row {
    const char* name;
    std::size_t offset;  // the entry must not depend on the buffer's alignment
  } rows[] = {{"localhost", 0}, {"127.0.0.1", 0}, {"localhost", 3}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name + std::string(" at offset ") + std::to_string(row.offset));
    std::vector<char> buffer(platform::kMaxHostEntry + row.offset, kUntouched);
    const RecordedMessage done = LookUp(row.name, buffer, row.offset);
    ASSERT_EQ(done.message, kLookupMessage);
    EXPECT_EQ(ErrorOf(done), 0);
    EXPECT_GT(SizeOf(done), 0);
    // localhost may also stand for ::1, first or after 127.0.0.1, as the system's hosts file says.
    EXPECT_THAT(platform::AddressesOfHostEntry(buffer.data() + row.offset),
                testing::Contains(platform::IPv4Address(platform::InetAddr("127.0.0.1"))));
    for (std::size_t i = 0; i < row.offset; ++i) EXPECT_EQ(buffer[i], kUntouched) << "written before the buffer";
  }
}

TEST_F(HostLookupTest, NamesThatCannotExistFailWithAnErrorNumber) {
  for (const char* name : {"no-such-host.invalid", ""}) {
    SCOPED_TRACE(name);
    std::vector<char> buffer(platform::kMaxHostEntry, kUntouched);
    const RecordedMessage done = LookUp(name, buffer);
    ASSERT_EQ(done.message, kLookupMessage);
    const int error = ErrorOf(done);
    // Not found, or the resolver could not be asked (a machine without DNS).
    EXPECT_TRUE(error == 11001 || error == 11002 || error == 11004) << error;
  }
}

TEST_F(HostLookupTest, ABufferTooSmallForOneAddressIsReportedWithTheSizeItNeedsAndLeftAlone) {
  std::vector<char> buffer(16, kUntouched);
  const RecordedMessage done = LookUp("localhost", buffer);
  ASSERT_EQ(done.message, kLookupMessage);
  EXPECT_EQ(ErrorOf(done), kNoBufferSpace);
  EXPECT_GT(SizeOf(done), 16);
  EXPECT_EQ(std::vector<char>(16, kUntouched), buffer);
}

TEST_F(HostLookupTest, ALookupWhoseWindowIsDestroyedTouchesNothing) {
  std::vector<char> orphanBuffer(platform::kMaxHostEntry, kUntouched);
  RecordingWindow orphan;
  ASSERT_TRUE(platform::AsyncLookupHost(orphan.Handle(), kLookupMessage, "localhost", orphanBuffer.data(),
                                        platform::kMaxHostEntry));
  orphan.Destroy();

  // A later lookup of the same name ends after the first has had its chance.
  std::vector<char> buffer(platform::kMaxHostEntry, kUntouched);
  ASSERT_EQ(LookUp("localhost", buffer).message, kLookupMessage);
  PumpFor(std::chrono::milliseconds(300));

  EXPECT_TRUE(orphan.messages.empty());
  EXPECT_EQ(orphanBuffer, std::vector<char>(platform::kMaxHostEntry, kUntouched));
}

TEST_F(HostLookupTest, ALookupCannotStartWithoutAWindowOrAName) {
  std::vector<char> buffer(platform::kMaxHostEntry);
  RecordingWindow window;
  EXPECT_FALSE(platform::AsyncLookupHost(0, kLookupMessage, "localhost", buffer.data(), platform::kMaxHostEntry));
  EXPECT_FALSE(platform::AsyncLookupHost(window.Handle(), kLookupMessage, nullptr, buffer.data(), platform::kMaxHostEntry));
}

}  // namespace
