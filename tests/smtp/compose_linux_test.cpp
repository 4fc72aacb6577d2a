// Composition seen from the file system: how often each attachment is opened.

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <map>
#include <string>

#include "smtp/Qxsmtp.h"
#include "test_support/TempDir.h"

namespace {

/// Counts the opens of watched files through inotify.
class OpenCounter {
 public:
  OpenCounter() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  ~OpenCounter() { ::close(fd_); }
  OpenCounter(const OpenCounter&) = delete;
  OpenCounter& operator=(const OpenCounter&) = delete;

  /// Closes are watched too, so that two opens never merge into one event.
  void Watch(const std::string& path) { names_[inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE)] = path; }

  std::map<std::string, int> Opens() {
    std::map<std::string, int> opens;
    for (const auto& [wd, path] : names_) opens[path] = 0;
    alignas(inotify_event) char events[4096];
    ssize_t n;
    while ((n = ::read(fd_, events, sizeof events)) > 0) {
      for (char* at = events; at < events + n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if (event->mask & IN_OPEN) ++opens[names_.at(event->wd)];
        at += sizeof(inotify_event) + event->len;
      }
    }
    return opens;
  }

 private:
  int fd_;
  std::map<int, std::string> names_;
};

TEST(CompositionOnLinux, EachAttachmentIsOpenedOnce) {
  TempDir dir;
  TQxSMTP smtp(nullptr);
  OpenCounter counter;
  for (const char* name : {"one.bin", "two.bin"}) {
    const std::string path = dir.Write(name, std::string(1000, 'x'));
    smtp.PostMessage().Attachments().Add(path);
    counter.Watch(path);
  }
  smtp.ComposeMessage();
  EXPECT_EQ(counter.Opens(), (std::map<std::string, int>{{dir.Path("one.bin"), 1}, {dir.Path("two.bin"), 1}}));
}

TEST(CompositionOnLinux, AQuoteInAFileNameIsEscaped) {
  // Windows allows no quote in a file name.
  TempDir dir;
  TQxSMTP smtp(nullptr);
  smtp.PostMessage().Attachments().Add(dir.Write("say \"hi\".bin", "x"));
  smtp.ComposeMessage();
  const std::string body = smtp.BodyStream().ToString();
  EXPECT_NE(body.find("; name=\"say \\\"hi\\\".bin\"\r\n"), std::string::npos) << body;
  EXPECT_NE(body.find("; filename=\"say \\\"hi\\\".bin\"\r\n"), std::string::npos) << body;
}

}  // namespace
