#include "platform/Credentials.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string.h>

namespace platform {
namespace {

/// The most of the command's standard error quoted, and of its output read.
constexpr std::size_t kLongestQuote = 500;
constexpr std::size_t kLongestOutput = 1 << 16;
/// The child's exit status when it could not run the program.
constexpr int kNotRun = 127;

/// Starts arguments with its standard output and error on pipes and its
/// input empty; the child's pid, or -1 with errno set.
pid_t Start(const std::vector<std::string>& arguments, int output[2], int errors[2]) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child != 0) return child;
  const int nothing = ::open("/dev/null", O_RDONLY);
  ::dup2(nothing, STDIN_FILENO);
  ::dup2(output[1], STDOUT_FILENO);
  ::dup2(errors[1], STDERR_FILENO);
  ::execvp(argv[0], argv.data());
  const char* why = std::strerror(errno);
  static_cast<void>(::write(STDERR_FILENO, why, std::strlen(why)));
  ::_exit(kNotRun);
}

/// Reads output and errors until both end or deadline passes (none: no
/// bound); false when it passed.
bool ReadBoth(int output, int errors, std::string& out, std::string& err,
              std::optional<std::chrono::steady_clock::time_point> deadline) {
  pollfd fds[2] = {{output, POLLIN, 0}, {errors, POLLIN, 0}};
  std::string* texts[2] = {&out, &err};
  const std::size_t limits[2] = {kLongestOutput, kLongestQuote};
  int open = 2;
  char chunk[4096];
  while (open > 0) {
    int wait = -1;
    if (deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      wait = static_cast<int>(left.count());
    }
    if (::poll(fds, 2, wait) < 0 && errno != EINTR) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n <= 0) {
        fds[i].fd = -1;
        --open;
      } else if (texts[i]->size() < limits[i]) {
        texts[i]->append(chunk, std::min(static_cast<std::size_t>(n), limits[i] - texts[i]->size()));
      }
    }
  }
  ::explicit_bzero(chunk, sizeof chunk);
  return true;
}

}  // namespace

std::optional<std::string> StoredCredential(const std::string&, std::string& problem) {
  problem = "Credential Manager is Windows'; on this system use --password-command";
  return std::nullopt;
}

std::optional<std::string> CommandOutputLine(const std::vector<std::string>& arguments, int timeoutMilliseconds,
                                             std::string& problem) {
  int output[2];
  int errors[2];
  if (arguments.empty() || ::pipe2(output, O_CLOEXEC) != 0) {
    problem = arguments.empty() ? "no command" : std::strerror(errno);
    return std::nullopt;
  }
  if (::pipe2(errors, O_CLOEXEC) != 0) {
    problem = std::strerror(errno);
    ::close(output[0]);
    ::close(output[1]);
    return std::nullopt;
  }
  const pid_t child = Start(arguments, output, errors);
  ::close(output[1]);
  ::close(errors[1]);
  std::string out;
  std::string err;
  bool inTime = child > 0;
  if (inTime) {
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (timeoutMilliseconds > 0) {
      deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    }
    inTime = ReadBoth(output[0], errors[0], out, err, deadline);
    if (!inTime) ::kill(child, SIGKILL);
  }
  const int startError = errno;
  ::close(output[0]);
  ::close(errors[0]);
  int status = 0;
  if (child > 0) {
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  while (!err.empty() && (err.back() == '\n' || err.back() == '\r')) err.pop_back();
  const std::string quoted = err.empty() ? "" : ": \"" + err + "\"";
  if (child < 0) {
    problem = std::strerror(startError);
  } else if (!inTime) {
    problem = "it gave no answer within " + std::to_string(timeoutMilliseconds / 1000) + " s" + quoted;
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    problem = (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status)) : std::string("killed")) +
              quoted;
  } else {
    std::optional<std::string> line = out.substr(0, out.find_first_of("\r\n"));
    ::explicit_bzero(out.data(), out.size());
    return line;
  }
  ::explicit_bzero(out.data(), out.size());
  return std::nullopt;
}

}  // namespace platform
