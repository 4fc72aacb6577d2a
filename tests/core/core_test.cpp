#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "core/Component.h"
#include "core/Exceptions.h"
#include "core/Secrets.h"
#include "core/Stream.h"
#include "core/StringList.h"
#include "platform/Clock.h"
#include "test_support/TempDir.h"

struct SplitCase {
  const char* name;
  std::string text;
  std::vector<std::string> lines;
};

TEST(StringList, SetTextCutsAtEveryKindOfLineEnd) {
  const SplitCase cases[] = {
      {"empty", "", {}},
      {"no final line end", "a\r\nb", {"a", "b"}},
      {"final CR LF adds nothing", "a\r\nb\r\n", {"a", "b"}},
      {"lone LF", "a\nb\n", {"a", "b"}},
      {"lone CR", "a\rb\r", {"a", "b"}},
      {"LF CR is two line ends", "a\n\rb", {"a", "", "b"}},
      {"empty line kept", "x@y\r\n\r\nz@w\r\n", {"x@y", "", "z@w"}},
      {"only line ends", "\r\n\r\n", {"", ""}},
      {"byte 0 ends the text", std::string("a\r\nb\0c\r\nd", 9), {"a", "b"}},
      {"no trimming", "  a \t\r\n", {"  a \t"}},
  };
  for (const SplitCase& c : cases) {
    TStringList list;
    list.Add("previous");
    list.SetText(c.text);
    EXPECT_EQ(list.Items(), c.lines) << c.name;
  }
}

TEST(StringList, LoadFromFileReadsBytesAndRaisesForMissingFile) {
  TempDir dir;
  const std::string path = dir.Write("list.txt", std::string("one\r\n\xC0\xFF\ntwo", 12));
  TStringList list;
  list.LoadFromFile(path);
  EXPECT_EQ(list.Items(), (std::vector<std::string>{"one", "\xC0\xFF", "two"}));

  try {
    list.LoadFromFile(dir.Path("missing.txt"));
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file " + dir.Path("missing.txt"));
  }
}

TEST(StringList, SortedListKeepsOrderAndRefusesPositionalEdits) {
  TStringList list;
  list.SetSorted(true);
  list.Add("b");
  list.Add("A");
  list.Add("c");
  EXPECT_EQ(list.Items(), (std::vector<std::string>{"A", "b", "c"}));
  EXPECT_THROW(list.Put(0, "z"), Exception);
  EXPECT_THROW(list.Insert(0, "z"), Exception);
}

TEST(StringList, IndexOfNameIgnoresCase) {
  TStringList list;
  list.Add("B=Body.txt");
  list.Add("NM=NM");
  EXPECT_EQ(list.IndexOfName("nm"), 1);
  EXPECT_EQ(list.ValueFromIndex(0), "Body.txt");
  EXPECT_EQ(list.IndexOfName("N"), -1);
}

namespace {
struct Probe : TComponent {
  Probe(TComponent* owner, std::vector<std::string>* log, std::string tag)
      : TComponent(owner), log_(log), tag_(std::move(tag)) {}
  ~Probe() override { log_->push_back(tag_ + (Destroying() ? " destroying" : " alive")); }
  std::vector<std::string>* log_;
  std::string tag_;
};
}  // namespace

TEST(Component, OwnerDestroysWhatItOwnsNewestFirst) {
  std::vector<std::string> log;
  auto* owner = new Probe(nullptr, &log, "owner");
  new Probe(owner, &log, "first");
  auto* second = new Probe(owner, &log, "second");
  auto* third = new Probe(owner, &log, "third");
  delete second;  // removes itself from its owner
  EXPECT_EQ(third->Owner(), owner);
  delete owner;
  EXPECT_EQ(log, (std::vector<std::string>{"second alive", "owner alive", "third destroying",
                                           "first destroying"}));
}

TEST(MemoryStream, PositionAndSizeFollowWritesAndSeeks) {
  TMemoryStream stream;
  stream.Write("hello", 5);
  EXPECT_EQ(stream.Position(), 5);
  EXPECT_EQ(stream.Size(), 5);
  stream.SetPosition(1);
  char out[8] = {};
  EXPECT_EQ(stream.Read(out, 8), 4);
  EXPECT_EQ(std::string(out), "ello");
  stream.Seek(-2, soFromEnd);
  stream.Write("LO!", 3);
  EXPECT_EQ(stream.ToString(), "helLO!");
  EXPECT_THROW(stream.ReadBuffer(out, 1), EStreamError);
}

TEST(FileStream, SmallReadsMatchTheFileAcrossReadAheadBlocks) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 200000; ++i) content += static_cast<char>(i * 7 % 251);
  const std::string path = dir.Write("data.bin", content);

  TFileStream file(path, platform::FileShare::kDenyAll);
  EXPECT_EQ(file.Size(), static_cast<std::int64_t>(content.size()));
  std::string read;
  char block[45];
  std::int64_t n;
  while ((n = file.Read(block, sizeof block)) > 0) read.append(block, static_cast<size_t>(n));
  EXPECT_EQ(read, content);

  file.SetPosition(70000);
  std::string tail(content.size() - 70000, '\0');
  EXPECT_EQ(file.Read(tail.data(), static_cast<std::int64_t>(tail.size())), static_cast<std::int64_t>(tail.size()));
  EXPECT_EQ(tail, content.substr(70000));
  EXPECT_EQ(file.Write("x", 1), 0);
}

namespace {

#ifdef _WIN32
constexpr const char* kDevice = "NUL";
#else
constexpr const char* kDevice = "/dev/zero";
#endif

/// Makes a FIFO at path and returns path; empty where the system has none.
std::string MakeFifo(const std::string& path) {
#ifdef _WIN32
  (void)path;
  return "";
#else
  return ::mkfifo(path.c_str(), 0600) == 0 ? path : "";
#endif
}

/// A pipe whose writer puts in one part at a time with a pause between
/// them, so that a read asking for them all is first served only one.
class TricklingPipe {
 public:
  explicit TricklingPipe(std::vector<std::string> parts) {
#ifdef _WIN32
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ::CreatePipe(&readEnd, &writeEnd, nullptr, 0);
    read_ = reinterpret_cast<platform::FileHandle>(readEnd);
    const auto put = [writeEnd](const std::string& part) {
      DWORD written = 0;
      ::WriteFile(writeEnd, part.data(), static_cast<DWORD>(part.size()), &written, nullptr);
    };
    const auto close = [writeEnd] { ::CloseHandle(writeEnd); };
#else
    int ends[2] = {-1, -1};
    EXPECT_EQ(::pipe(ends), 0);
    read_ = ends[0];
    const auto put = [end = ends[1]](const std::string& part) {
      EXPECT_EQ(::write(end, part.data(), part.size()), static_cast<ssize_t>(part.size()));
    };
    const auto close = [end = ends[1]] { ::close(end); };
#endif
    writer_ = std::thread([parts = std::move(parts), put, close] {
      for (const std::string& part : parts) {
        put(part);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      close();
    });
  }
  ~TricklingPipe() {
    writer_.join();
    platform::CloseFile(read_);
  }
  TricklingPipe(const TricklingPipe&) = delete;
  TricklingPipe& operator=(const TricklingPipe&) = delete;

  platform::FileHandle ReadEnd() const { return read_; }

 private:
  platform::FileHandle read_ = platform::kInvalidFile;
  std::thread writer_;
};

}  // namespace

TEST(FileStream, OnlyRegularFilesOpenAndNoneBlocks) {
  TempDir dir;
  const struct {
    const char* name;
    std::string path;  // empty: the system has no such thing
    bool list;         // a list refuses it too (a FIFO's writer is waited for)
  } cases[] = {
      {"directory", dir.Path(""), true},
      {"FIFO without a writer", MakeFifo(dir.Path("fifo")), false},
      {"device", kDevice, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.path.empty()) continue;
    EXPECT_THROW(TFileStream(c.path, platform::FileShare::kDenyWrite), EFOpenError);
    if (!c.list) continue;
    TStringList list;
    try {
      list.LoadFromFile(c.path);
      ADD_FAILURE() << "no exception";
    } catch (const EFOpenError& e) {
      EXPECT_EQ(e.Message(), "Cannot open file " + c.path);
    }
  }
  EXPECT_FALSE(platform::FileExists(dir.Path("")));
}

TEST(FileStream, AListReadsAFifoToItsEndOnceItsWriterComes) {
  TempDir dir;
  const std::string fifo = MakeFifo(dir.Path("body"));
  if (fifo.empty()) GTEST_SKIP() << "no FIFOs here";
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::ofstream out(fifo, std::ios::binary);
    out << "first line\r\n" << std::string(100000, 'x') << "\r\nlast line";
  });
  TStringList body;
  body.LoadFromFile(fifo);
  writer.join();
  ASSERT_EQ(body.Count(), 3);
  EXPECT_EQ(body[1].size(), 100000u);
  EXPECT_EQ(body[2], "last line");
}

TEST(FileStream, ReadsGoOnUntilTheCountOrTheEnd) {
  const std::string whole = "first part, second part, third part";
  TricklingPipe pipe({"first part, ", "second part, ", "third part"});
  std::string read(whole.size(), '\0');
  EXPECT_EQ(platform::ReadFile(pipe.ReadEnd(), read.data(), static_cast<std::int64_t>(read.size())),
            static_cast<std::int64_t>(whole.size()));
  EXPECT_EQ(read, whole);
}

TEST(AppendFile, LinesGoToTheEndOfARegularFileOnly) {
#ifdef _WIN32
  const std::string lineEnd = "\r\n";
#else
  const std::string lineEnd = "\n";
#endif
  TempDir dir;
  const struct {
    const char* name;
    std::string path;  // empty: the system has no such thing
    std::string before;  // the file's content before
    bool opens;
  } cases[] = {
      {"existing file", dir.Write("old.log", "kept\n"), "kept\n", true},
      {"missing file", dir.Path("new.log"), "", true},
      {"directory", dir.Path(""), "", false},
      {"FIFO without a reader", MakeFifo(dir.Path("fifo")), "", false},
      {"device", kDevice, "", false},
      {"missing folder", dir.Path("none") + "/x.log", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.path.empty()) continue;
    const platform::FileHandle file = platform::OpenFileForAppend(c.path);
    EXPECT_EQ(file != platform::kInvalidFile, c.opens);
    if (file == platform::kInvalidFile) continue;
    EXPECT_TRUE(platform::AppendLine(file, "first"));
    EXPECT_TRUE(platform::AppendLine(file, "second line"));
    platform::CloseFile(file);
    std::ifstream in(c.path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, c.before + "first" + lineEnd + "second line" + lineEnd);
  }
}

TEST(LocalTimestamp, IsTheLocalTimeToTheMillisecond) {
  // time() may lag the clock the stamp is read from by a tick: the bracket
  // is a second wider on each side. Each of its seconds is named in local
  // time by the C library, so an hour that repeats where daylight saving
  // time ends is never taken for the other one.
  const std::time_t before = std::time(nullptr) - 1;
  const std::string stamp = platform::LocalTimestamp();
  const std::time_t after = std::time(nullptr) + 1;
  std::tm parsed{};
  int milliseconds = -1;
  ASSERT_EQ(std::sscanf(stamp.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d", &parsed.tm_year, &parsed.tm_mon,
                        &parsed.tm_mday, &parsed.tm_hour, &parsed.tm_min, &parsed.tm_sec, &milliseconds),
            7)
      << stamp;
  EXPECT_EQ(stamp.size(), 23u) << stamp;
  EXPECT_GE(milliseconds, 0);
  bool named = false;
  for (std::time_t second = before; second <= after && !named; ++second) {
    char local[32];
    ASSERT_NE(std::strftime(local, sizeof local, "%Y-%m-%d %H:%M:%S", std::localtime(&second)), 0u);
    named = stamp.compare(0, 19, local) == 0;
  }
  EXPECT_TRUE(named) << stamp << " is no second from " << before << " to " << after;
}

TEST(SecretList, RedactsEverySecretWhereverItShows) {
  const struct {
    const char* name;
    std::vector<std::string> secrets;
    std::string text;
    std::string shown;
  } cases[] = {
      {"every occurrence", {"pw"}, "pw, pwpw and pw", "***, ****** and ***"},
      {"the longer of two that overlap, whatever the order added", {"ab", "abcd"}, "x abcd y ab", "x *** y ***"},
      {"a secret that is only a part of the mask added", {"*", "cd"}, "cd", "***"},
      {"an empty secret changes nothing", {""}, "text", "text"},
  };
  for (const auto& c : cases) {
    TSecretList list;
    for (const std::string& secret : c.secrets) list.Add(secret);
    EXPECT_EQ(list.Redacted(c.text), c.shown) << c.name;
  }
}

TEST(FillPlaceholder, ReplacesFirstPlaceholder) {
  EXPECT_EQ(FillPlaceholder("Invalid seek origin = %d", "5"), "Invalid seek origin = 5");
  EXPECT_EQ(FillPlaceholder("Missing (File %s not found).", "b.txt"), "Missing (File b.txt not found).");
  EXPECT_EQ(FillPlaceholder("no placeholder", "x"), "no placeholder");
}
