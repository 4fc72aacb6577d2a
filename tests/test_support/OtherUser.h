#pragma once
// A step of a test run by another user, nobody, in a child process: the
// tests run as root, and who owns a file and who may open it matter only
// between two real users.

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

/// The user the step runs as.
inline const passwd* OtherUser() { return ::getpwnam("nobody"); }

/// True when steps can run as OtherUser: the test runs as root.
inline bool OtherUserAvailable() { return ::geteuid() == 0 && OtherUser() != nullptr; }

/// While it lives, files and folders are made as the usual umask (022)
/// makes them: the other user reaches root's whatever umask the tests run under.
struct UsualUmask {
  UsualUmask() : saved(::umask(022)) {}
  ~UsualUmask() { ::umask(saved); }
  UsualUmask(const UsualUmask&) = delete;
  UsualUmask& operator=(const UsualUmask&) = delete;
  mode_t saved;
};

/// Runs step (returning 0 to 254) as OtherUser in a child process and
/// returns what it returned; 255 when the child could not become that user,
/// -1 when it died.
template <typename Step>
int AsOtherUser(Step step) {
  const pid_t child = ::fork();
  if (child == 0) {
    const passwd* user = OtherUser();
    if (user == nullptr || ::setgroups(0, nullptr) != 0 || ::setgid(user->pw_gid) != 0 ||
        ::setuid(user->pw_uid) != 0) {
      ::_exit(255);
    }
    ::_exit(step());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
