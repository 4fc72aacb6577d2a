#include "encoding/QxUUE.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/Exceptions.h"
#include "encoding/FakeStream.h"
#include "encoding/QxS_Stream.h"
#include "test_support/TempDir.h"

namespace {

std::string Bytes(int first, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += static_cast<char>(first + i);
  return s;
}

/// Encodes input the way attachments are encoded: through a buffer stream
/// over a memory stream; returns what the memory stream holds.
std::string EncodeThroughBuffer(const std::string& input, UUMethods method) {
  TMemoryStream source, scratch;
  source.WriteBuffer(input.data(), static_cast<std::int64_t>(input.size()));
  TQxUUProcessor encoder(nullptr);
  encoder.Method = method;
  {
    TS_BufferStream buffered(scratch);
    encoder.InputStream = &source;
    encoder.OutputStream = &buffered;
    encoder.Encode();
  }
  return scratch.ToString();
}

/// Encodes input straight into a memory stream, which takes the lines in place.
std::string EncodeIntoMemory(const std::string& input, UUMethods method) {
  TMemoryStream source, output;
  source.WriteBuffer(input.data(), static_cast<std::int64_t>(input.size()));
  TQxUUProcessor encoder(nullptr);
  encoder.Method = method;
  encoder.InputStream = &source;
  encoder.OutputStream = &output;
  encoder.Encode();
  return output.ToString();
}

// Base64 the plain way (a bit accumulator), cut into 60-character lines.
std::string ReferenceBase64Lines(const std::string& input) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string flat;
  std::uint32_t bits = 0;
  int held = 0;
  for (unsigned char c : input) {
    bits = (bits << 8) | c;
    held += 8;
    while (held >= 6) {
      held -= 6;
      flat += kDigits[(bits >> held) & 63];
    }
  }
  if (held > 0) flat += kDigits[(bits << (6 - held)) & 63];
  while (flat.size() % 4 != 0) flat += '=';
  std::string lines;
  for (size_t at = 0; at < flat.size(); at += 60) lines += flat.substr(at, 60) + "\r\n";
  return lines;
}

// Reads uuencode lines back, checking each line's length against its length character.
std::string DecodeUULines(const std::string& text) {
  std::string bytes;
  size_t at = 0;
  for (;;) {
    const size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      ADD_FAILURE() << "line without CR LF at " << at;
      return bytes;
    }
    const std::string line = text.substr(at, end - at);
    at = end + 2;
    const int n = (line.at(0) - 32) & 63;
    if (n == 0) {
      EXPECT_EQ(line, "`");
      EXPECT_EQ(at, text.size()) << "text after the grave-accent line";
      return bytes;
    }
    const size_t expectedLength = 1 + n / 3 * 4 + (n % 3 ? n % 3 + 1 : 0);
    EXPECT_EQ(line.size(), expectedLength) << line;
    std::uint32_t bits = 0;
    int held = 0;
    for (size_t i = 1; i < line.size(); ++i) {
      EXPECT_NE(line[i], ' ') << "a blank stands for 0";
      bits = (bits << 6) | ((line[i] - 32) & 63);
      held += 6;
      if (held >= 8) {
        held -= 8;
        bytes += static_cast<char>((bits >> held) & 0xFF);
      }
    }
  }
}

struct ExactCase {
  const char* name;
  UUMethods method;
  std::string input;
  std::string output;
};

}  // namespace

TEST(QxUUProcessor, ProducesTheExactLines) {
  const ExactCase cases[] = {
      {"empty input, base64: nothing", uuMime, "", ""},
      {"empty input, uuencode: the grave-accent line only", uuCode, "", "`\r\n"},
      {"abc, base64", uuMime, "abc", "YWJj\r\n"},
      {"abc, uuencode", uuCode, "abc", "#86)C\r\n`\r\n"},
      {"one byte, base64 filled with two =", uuMime, "a", "YQ==\r\n"},
      {"one byte, uuencode not filled", uuCode, "a", "!80\r\n`\r\n"},
      {"two bytes, base64 filled with one =", uuMime, "ab", "YWI=\r\n"},
      {"two bytes, uuencode not filled", uuCode, "ab", "\"86(\r\n`\r\n"},
      {"zero byte, uuencode writes grave accents", uuCode, std::string(1, '\0'), "!``\r\n`\r\n"},
      {"high bytes, base64", uuMime, "\xFF\xFE\xFD", "//79\r\n"},
      {"45 bytes, base64: one full line", uuMime, Bytes(0, 45),
       "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKiss\r\n"},
      {"45 bytes, uuencode: one line with M", uuCode, Bytes(0, 45),
       "M``$\"`P0%!@<(\"0H+#`T.#Q`1$A,4%187&!D:&QP='A\\@(2(C)\"4F)R@I*BLL\r\n`\r\n"},
      {"46 bytes, base64: a full line and a one-byte line", uuMime, Bytes(0, 46),
       "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKiss\r\nLQ==\r\n"},
      {"46 bytes, uuencode: a full line and a one-byte line", uuCode, Bytes(0, 46),
       "M``$\"`P0%!@<(\"0H+#`T.#Q`1$A,4%187&!D:&QP='A\\@(2(C)\"4F)R@I*BLL\r\n!+0\r\n`\r\n"},
  };
  for (const ExactCase& c : cases) {
    EXPECT_EQ(EncodeThroughBuffer(c.input, c.method), c.output) << c.name;
  }
}

TEST(QxUUProcessor, Base64MatchesAPlainEncoderForManyLengths) {
  std::mt19937 random(20240601);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (size_t n : {1000u, 4095u, 32768u, 32769u, 100001u}) lengths.push_back(n);
  for (size_t n : lengths) {
    std::string input(n, '\0');
    for (char& c : input) c = static_cast<char>(random());
    ASSERT_EQ(EncodeThroughBuffer(input, uuMime), ReferenceBase64Lines(input)) << "length " << n;
    ASSERT_EQ(EncodeIntoMemory(input, uuMime), ReferenceBase64Lines(input)) << "in place, length " << n;
  }
}

TEST(QxUUProcessor, UUEncodeReadsBackForManyLengths) {
  std::mt19937 random(7);
  for (size_t n : {0u, 1u, 2u, 3u, 44u, 45u, 46u, 89u, 90u, 91u, 1000u, 50000u}) {
    std::string input(n, '\0');
    for (char& c : input) c = static_cast<char>(random());
    EXPECT_EQ(DecodeUULines(EncodeThroughBuffer(input, uuCode)), input) << "length " << n;
    EXPECT_EQ(EncodeIntoMemory(input, uuCode), EncodeThroughBuffer(input, uuCode)) << "in place, length " << n;
  }
}

TEST(QxUUProcessor, ReadsFromTheStartWritesFromThePositionAndRewinds) {
  FakeStream input("abcabc");
  input.position = 4;
  TMemoryStream output;
  output.WriteBuffer("head|", 5);
  TQxUUProcessor encoder(nullptr);
  encoder.InputStream = &input;
  encoder.OutputStream = &output;
  encoder.Encode();
  EXPECT_EQ(output.ToString(), "head|YWJjYWJj\r\n");
  EXPECT_EQ(output.Position(), 0);
  EXPECT_EQ(input.position, 6);
}

TEST(QxUUProcessor, ReadsAndWritesRunsOfWholeLines) {
  constexpr std::int64_t kRun = kEncodeRunLines * 45;
  struct Case {
    const char* name;
    std::int64_t readCap;
    std::vector<std::int64_t> reads;
  };
  // Two runs and 100 bytes more: three reads, three writes of whole lines.
  const Case cases[] = {
      {"reads yield what is asked", INT64_MAX, {kRun, kRun, 100}},
      {"short reads fill the run before it is encoded", 50000, {kRun, kRun - 50000, kRun, kRun - 50000, 100}},
  };
  const std::string input = Bytes(0, static_cast<int>(2 * kRun + 100));
  for (const Case& c : cases) {
    for (UUMethods method : {uuMime, uuCode}) {
      SCOPED_TRACE(std::string(c.name) + (method == uuMime ? ", base64" : ", uuencode"));
      FakeStream source(input), sink;
      source.readCap = c.readCap;
      TQxUUProcessor encoder(nullptr);
      encoder.Method = method;
      encoder.InputStream = &source;
      encoder.OutputStream = &sink;
      encoder.Encode();
      EXPECT_EQ(source.readRequests, c.reads);
      const size_t line = method == uuMime ? 62 : 63;
      std::vector<size_t> writeSizes;
      for (const std::string& w : sink.writes) writeSizes.push_back(w.size());
      std::vector<size_t> expected{kEncodeRunLines * line, kEncodeRunLines * line,
                                   2 * line + (method == uuMime ? 18 : 17)};
      if (method == uuCode) expected.push_back(3);
      EXPECT_EQ(writeSizes, expected);
      EXPECT_EQ(sink.data, EncodeThroughBuffer(input, method));
    }
  }
}

TEST(QxUUProcessor, StopsWhenTheInputYieldsLessThanItsSize) {
  FakeStream source(Bytes(0, 100)), sink;
  source.claimedSize = 1000;
  source.yieldLimit = 50;
  TQxUUProcessor encoder(nullptr);
  encoder.InputStream = &source;
  encoder.OutputStream = &sink;
  encoder.Encode();
  EXPECT_EQ(source.readRequests, (std::vector<std::int64_t>{1000, 950})) << "50, then the empty read ends the loop";
  EXPECT_EQ(sink.data, ReferenceBase64Lines(Bytes(0, 50)));
}

TEST(QxUUProcessor, FiresEventsAroundTheWorkWithTheRewoundOutput) {
  FakeStream source("abc");
  TMemoryStream sink;
  TQxUUProcessor encoder(nullptr);
  std::vector<std::string> log;
  encoder.OnBeginEncode = [&](TObject* sender) {
    log.push_back("begin, sender ok " + std::to_string(sender == &encoder) + ", reads " +
                  std::to_string(source.readRequests.size()));
  };
  encoder.OnEndEncode = [&](TObject* sender) {
    log.push_back("end, sender ok " + std::to_string(sender == &encoder) + ", output at " +
                  std::to_string(sink.Position()) + " of " + std::to_string(sink.Size()));
  };
  encoder.InputStream = &source;
  encoder.OutputStream = &sink;
  encoder.Encode();
  EXPECT_EQ(log, (std::vector<std::string>{"begin, sender ok 1, reads 0", "end, sender ok 1, output at 0 of 6"}));
}

struct FailureCase {
  const char* name;
  void (*breakStreams)(FakeStream& source, FakeStream& sink);
  std::string message;
  std::string outputKept;  // what the sink holds after the failure
};

TEST(QxUUProcessor, OnAFailureRewindsFiresOnEndEncodeAndPassesTheErrorOn) {
  // One run, then one more line: the second write carries that line.
  const std::string input = Bytes(0, static_cast<int>(kEncodeRunLines * 45 + 45));
  const std::string firstRun = ReferenceBase64Lines(input.substr(0, kEncodeRunLines * 45));
  const FailureCase cases[] = {
      {"second write raises", [](FakeStream&, FakeStream& sink) { sink.throwOnWrite = 2; }, "fake write failure",
       firstRun},
      {"second write falls short", [](FakeStream&, FakeStream& sink) { sink.shortWrite = 2; }, "Stream write error",
       firstRun + ReferenceBase64Lines(input.substr(kEncodeRunLines * 45)).substr(0, 31)},
      {"a read raises", [](FakeStream& source, FakeStream&) { source.throwOnRead = true; }, "fake read failure", ""},
  };
  for (const FailureCase& c : cases) {
    FakeStream source(input), sink;
    c.breakStreams(source, sink);
    TQxUUProcessor encoder(nullptr);
    int ends = 0;
    encoder.OnEndEncode = [&](TObject*) {
      ++ends;
      EXPECT_EQ(sink.position, 0) << c.name << ": rewound before OnEndEncode";
    };
    encoder.InputStream = &source;
    encoder.OutputStream = &sink;
    try {
      encoder.Encode();
      ADD_FAILURE() << c.name << ": no exception";
    } catch (const EStreamError& e) {
      EXPECT_EQ(e.Message(), c.message) << c.name;
    }
    EXPECT_EQ(ends, 1) << c.name;
    EXPECT_EQ(sink.data, c.outputKept) << c.name;
  }
}

TEST(QxUUProcessor, RaisesWithoutStreamsAndFiresNothing) {
  TMemoryStream stream;
  TQxUUProcessor encoder(nullptr);
  int events = 0;
  encoder.OnBeginEncode = encoder.OnEndEncode = [&](TObject*) { ++events; };
  for (int which = 0; which < 2; ++which) {
    encoder.InputStream = which == 0 ? nullptr : &stream;
    encoder.OutputStream = which == 0 ? &stream : nullptr;
    try {
      encoder.Encode();
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), kEncodeNeedsStreams);
    }
  }
  EXPECT_EQ(events, 0);
}

TEST(QxUUProcessor, EncodesAFileLikeTheSameBytesInMemory) {
  std::mt19937 random(3);
  std::string content(200000, '\0');
  for (char& c : content) c = static_cast<char>(random());
  TempDir dir;
  TFileStream file(dir.Write("attachment.bin", content), platform::FileShare::kDenyAll);
  TMemoryStream scratch;
  TQxUUProcessor encoder(nullptr);
  {
    TS_BufferStream buffered(scratch);
    encoder.InputStream = &file;
    encoder.OutputStream = &buffered;
    encoder.Encode();
  }
  EXPECT_EQ(scratch.ToString(), ReferenceBase64Lines(content));
}
