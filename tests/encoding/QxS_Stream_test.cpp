#include "encoding/QxS_Stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Exceptions.h"
#include "encoding/FakeStream.h"
#include "encoding/QxS_Huge.h"

namespace {

std::string Pattern(size_t n, size_t from = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((from + i) * 7 % 251);
  return s;
}

std::string ReadString(TStream& stream, std::int64_t n) {
  std::string s(static_cast<size_t>(n), '\0');
  s.resize(static_cast<size_t>(stream.Read(s.data(), n)));
  return s;
}

std::int64_t WriteString(TStream& stream, const std::string& s) {
  return stream.Write(s.data(), static_cast<std::int64_t>(s.size()));
}

/// Counts the buffer events of one stream, checking their Sender.
struct EventCounter {
  explicit EventCounter(TS_BufferStream& stream) {
    stream.OnBufferFilled = [this, &stream](TObject* sender) {
      EXPECT_EQ(sender, &stream);
      ++fills;
    };
    stream.OnBufferFlushed = [this, &stream](TObject* sender) {
      EXPECT_EQ(sender, &stream);
      ++flushes;
    };
  }
  int fills = 0;
  int flushes = 0;
};

/// Restores the process-wide buffer size when a test changed it.
struct BufferSizeGuard {
  ~BufferSizeGuard() { DefaultBufferSize = 32768; }
};

struct Scenario {
  const char* name;
  std::string initial;  // the underlying stream before
  void (*run)(TS_BufferStream& stream, std::string& got);
  std::string underlying;  // the underlying stream after, before the buffer stream is destroyed
  std::int64_t position;
  TBufferMode mode;
  int fills;
  int flushes;
  std::string got;  // what the scenario read
};

}  // namespace

TEST(TS_BufferStream, FollowsTheBufferRules) {
  const Scenario scenarios[] = {
      {"fresh over an empty stream: nothing read, one fill", "",
       [](TS_BufferStream& s, std::string& got) { got = ReadString(s, 10); }, "", 0, bmIdle, 1, 0, ""},
      {"40,000 bytes in one write: one flush of 32,768, 7,232 pending", "",
       [](TS_BufferStream& s, std::string&) { EXPECT_EQ(WriteString(s, Pattern(40000)), 40000); }, Pattern(32768),
       40000, bmWriting, 0, 1, ""},
      {"exactly the capacity: one flush, nothing pending", "",
       [](TS_BufferStream& s, std::string&) { EXPECT_EQ(WriteString(s, Pattern(32768)), 32768); }, Pattern(32768),
       32768, bmIdle, 0, 1, ""},
      {"write, rewind, read the same bytes", "",
       [](TS_BufferStream& s, std::string& got) {
         WriteString(s, Pattern(100));
         EXPECT_EQ(s.Seek(0, soFromBeginning), 0);
         got = ReadString(s, 100);
       },
       Pattern(100), 100, bmReading, 1, 1, Pattern(100)},
      {"write then read without a seek: flushed, nothing follows", "",
       [](TS_BufferStream& s, std::string& got) {
         WriteString(s, Pattern(100));
         got = ReadString(s, 100);
       },
       Pattern(100), 100, bmIdle, 1, 1, ""},
      {"write then read over a longer stream: the read gets what follows", std::string(200, 'x'),
       [](TS_BufferStream& s, std::string& got) {
         WriteString(s, "abc");
         got = ReadString(s, 5);
       },
       "abc" + std::string(197, 'x'), 8, bmReading, 1, 1, "xxxxx"},
      {"read then write: the write lands at the logical position", "0123456789",
       [](TS_BufferStream& s, std::string& got) {
         got = ReadString(s, 3);
         WriteString(s, "ab");
         s.Seek(0, soFromBeginning);
       },
       "012ab56789", 0, bmIdle, 1, 1, "012"},
      {"empty write while reading leaves nothing pending", "0123456789",
       [](TS_BufferStream& s, std::string& got) {
         got = ReadString(s, 4);
         WriteString(s, "");
         got += ReadString(s, 2);
       },
       "0123456789", 6, bmReading, 2, 0, "012345"},
      {"Seek(0,1) while writing does not flush", "",
       [](TS_BufferStream& s, std::string&) {
         WriteString(s, Pattern(10));
         EXPECT_EQ(s.Seek(0, soFromCurrent), 10);
       },
       "", 10, bmWriting, 0, 0, ""},
      {"a seek to the current position keeps the read-ahead", Pattern(100),
       [](TS_BufferStream& s, std::string& got) {
         got = ReadString(s, 10);
         EXPECT_EQ(s.Seek(10, soFromBeginning), 10);
         got += ReadString(s, 10);
       },
       Pattern(100), 20, bmReading, 1, 0, Pattern(20)},
      {"seek from the current position while reading", Pattern(100),
       [](TS_BufferStream& s, std::string& got) {
         ReadString(s, 10);
         EXPECT_EQ(s.Seek(5, soFromCurrent), 15);
         got = ReadString(s, 5);
       },
       Pattern(100), 20, bmReading, 2, 0, Pattern(5, 15)},
      {"Seek(3,2) over 10 idle bytes counts back from the end", "0123456789",
       [](TS_BufferStream& s, std::string& got) {
         EXPECT_EQ(s.Seek(3, soFromEnd), 7);
         got = ReadString(s, 10);
       },
       "0123456789", 10, bmIdle, 2, 0, "789"},
      {"size while writing past the end counts the pending bytes", "0123456789",
       [](TS_BufferStream& s, std::string&) {
         WriteString(s, "abcdefghijkl");
         EXPECT_EQ(s.Size(), 12);
       },
       "0123456789", 12, bmWriting, 0, 0, ""},
      {"size while overwriting inside the stream: the trip to the end passes pending bytes on", "0123456789",
       [](TS_BufferStream& s, std::string&) {
         WriteString(s, "abc");
         EXPECT_EQ(s.Size(), 10);
       },
       "abc3456789", 3, bmIdle, 0, 1, ""},
      {"seek to the end while writing passes the pending bytes on", "0123456789",
       [](TS_BufferStream& s, std::string&) {
         WriteString(s, "abc");
         EXPECT_EQ(s.Seek(0, soFromEnd), 10);
       },
       "abc3456789", 10, bmIdle, 0, 1, ""},
  };
  for (const Scenario& c : scenarios) {
    SCOPED_TRACE(c.name);
    TMemoryStream underlying;
    underlying.WriteBuffer(c.initial.data(), static_cast<std::int64_t>(c.initial.size()));
    underlying.SetPosition(0);
    TS_BufferStream stream(underlying);
    EventCounter events(stream);
    std::string got;
    c.run(stream, got);
    EXPECT_EQ(stream.Position(), c.position);
    EXPECT_EQ(stream.Mode(), c.mode);
    EXPECT_EQ(events.fills, c.fills);
    EXPECT_EQ(events.flushes, c.flushes);
    EXPECT_EQ(got, c.got);
    EXPECT_EQ(underlying.ToString(), c.underlying);
  }
}

TEST(TS_BufferStream, TalksToTheUnderlyingStreamInWholeBuffers) {
  FakeStream underlying(Pattern(100000));
  {
    TS_BufferStream stream(underlying);
    EXPECT_EQ(ReadString(stream, 100000), Pattern(100000));
    EXPECT_EQ(underlying.readRequests, (std::vector<std::int64_t>{32768, 32768, 32768, 32768}));
    stream.Seek(0, soFromBeginning);
    for (int line = 0; line < 1000; ++line) WriteString(stream, Pattern(62, line));
  }
  std::vector<size_t> writeSizes;
  for (const std::string& w : underlying.writes) writeSizes.push_back(w.size());
  EXPECT_EQ(writeSizes, (std::vector<size_t>{32768, 29232})) << "the rest passed on at destruction";
  std::string lines;
  for (int line = 0; line < 1000; ++line) lines += Pattern(62, line);
  EXPECT_EQ(underlying.data.substr(0, lines.size()), lines);
}

TEST(TS_BufferStream, TakesItsCapacityFromTheProcessWideSetting) {
  BufferSizeGuard restore;
  struct SizeCase {
    std::int32_t setting;
    std::vector<std::string> writes;
  };
  const SizeCase cases[] = {
      {4, {"abcd", "efgh", "ij"}},
      {0, {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}},  // below 1 counts as 1
  };
  for (const SizeCase& c : cases) {
    DefaultBufferSize = c.setting;
    FakeStream underlying;
    {
      TS_BufferStream stream(underlying);
      EXPECT_EQ(WriteString(stream, "abcdefghij"), 10);
    }
    EXPECT_EQ(underlying.writes, c.writes) << "setting " << c.setting;
  }
}

TEST(TS_BufferStream, InvalidSeekOriginRaisesAndChangesNothing) {
  TMemoryStream underlying;
  TS_BufferStream stream(underlying);
  WriteString(stream, "abc");
  try {
    stream.Seek(0, 5);
    FAIL() << "no exception";
  } catch (const EStreamError&) {
    FAIL() << "a general error is expected, not a stream error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Invalid seek origin = 5");
  }
  EXPECT_EQ(stream.Mode(), bmWriting);
  EXPECT_EQ(stream.Position(), 3);
  EXPECT_EQ(underlying.DataSize(), 0);
}

struct ShortWriteCase {
  const char* name;
  void (*act)(TS_BufferStream& stream);
  std::string message;
};

TEST(TS_BufferStream, PendingBytesThatCannotBeWrittenRaiseAndCountAsGone) {
  const ShortWriteCase cases[] = {
      {"real seek", [](TS_BufferStream& s) { s.Seek(0, soFromBeginning); }, "Seek error"},
      {"read after writing", [](TS_BufferStream& s) { ReadString(s, 1); }, "Stream write error"},
  };
  for (const ShortWriteCase& c : cases) {
    FakeStream underlying;
    underlying.shortWrite = 1;
    TS_BufferStream stream(underlying);
    WriteString(stream, "0123456789");
    try {
      c.act(stream);
      ADD_FAILURE() << c.name << ": no exception";
    } catch (const EStreamError& e) {
      EXPECT_EQ(e.Message(), c.message) << c.name;
    }
    EXPECT_EQ(stream.Mode(), bmIdle) << c.name;
    EXPECT_EQ(stream.Position(), 5) << c.name << ": where the short write left the underlying stream";
    EXPECT_EQ(underlying.data, "01234") << c.name;
  }
}

TEST(TS_BufferStream, AWriteStopsAtAShortFlushAndCountsWhatItHandedOver) {
  FakeStream underlying;
  underlying.shortWrite = 1;
  TS_BufferStream stream(underlying);
  EXPECT_EQ(WriteString(stream, Pattern(40000)), 32768);
  EXPECT_EQ(underlying.data, Pattern(16384));
  EXPECT_EQ(stream.Mode(), bmIdle);
}

struct PutBackCase {
  const char* name;
  void (*prepare)(TS_BufferStream& stream);
  bool accepted;
};

TEST(TS_BufferStream, PutBackOnlyStepsOverBytesConsumedFromTheCurrentFill) {
  const PutBackCase cases[] = {
      {"fresh stream", [](TS_BufferStream&) {}, false},
      {"one byte read", [](TS_BufferStream& s) { ReadString(s, 1); }, true},
      {"after a real seek",
       [](TS_BufferStream& s) {
         ReadString(s, 1);
         s.Seek(5, soFromBeginning);
       },
       false},
      {"read to the end", [](TS_BufferStream& s) { ReadString(s, 100); }, false},
      {"bytes pending to be written", [](TS_BufferStream& s) { WriteString(s, "ab"); }, false},
  };
  for (const PutBackCase& c : cases) {
    TMemoryStream underlying;
    WriteString(underlying, "abcdef");
    underlying.SetPosition(0);
    TS_BufferStream stream(underlying);
    c.prepare(stream);
    const std::int64_t position = stream.Position();
    if (c.accepted) {
      stream.PutBack('Z');
      EXPECT_EQ(stream.Position(), position - 1) << c.name;
      EXPECT_THROW(stream.PutBack('Y'), EStreamError) << c.name << ": only one byte was consumed";
      EXPECT_EQ(ReadString(stream, 2), "Zb") << c.name << ": the put-back byte is read next";
      continue;
    }
    try {
      stream.PutBack('Z');
      ADD_FAILURE() << c.name << ": no exception";
    } catch (const EStreamError& e) {
      EXPECT_EQ(e.Message(), "PutBack overflow") << c.name;
    }
    EXPECT_EQ(stream.Position(), position) << c.name;
  }
}

TEST(TS_BufferStream, FlushWhileReadingPassesNothingOnAndKeepsTheReadAhead) {
  FakeStream underlying("0123456789");
  TS_BufferStream stream(underlying);
  EventCounter events(stream);
  EXPECT_EQ(ReadString(stream, 3), "012");
  EXPECT_TRUE(stream.Flush());
  EXPECT_TRUE(underlying.writes.empty());
  EXPECT_EQ(events.flushes, 1);
  EXPECT_EQ(stream.Position(), 3);
  EXPECT_EQ(ReadString(stream, 3), "345");
}

TEST(TS_BufferStream, DestructionPassesPendingBytesOnAndSurvivesAFailingStream) {
  TMemoryStream kept;
  {
    TS_BufferStream stream(kept);
    WriteString(stream, "pending");
  }
  EXPECT_EQ(kept.ToString(), "pending");

  FakeStream failing;
  failing.throwOnWrite = 1;
  {
    TS_BufferStream stream(failing);
    WriteString(stream, "lost");
  }
  EXPECT_EQ(failing.writes, (std::vector<std::string>{"lost"}));
  EXPECT_EQ(failing.data, "");
}

struct MoveCase {
  const char* name;
  int destination;
  int source;
  std::int64_t count;
  std::string result;
};

TEST(HugeMove, CopiesOverlappingRangesInBothDirections) {
  const MoveCase cases[] = {
      {"forward overlap", 2, 0, 5, "0101234789"},
      {"backward overlap", 0, 2, 5, "2345656789"},
      {"disjoint", 7, 0, 3, "0123456012"},
      {"nothing", 3, 0, 0, "0123456789"},
      {"negative count copies nothing", 3, 0, -4, "0123456789"},
  };
  for (const MoveCase& c : cases) {
    std::string buffer = "0123456789";
    HugeMove(HugeOffset(buffer.data(), c.destination), HugeOffset(static_cast<const void*>(buffer.data()), c.source),
             c.count);
    EXPECT_EQ(buffer, c.result) << c.name;
  }
}
