#include "app/Updater.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

bool RunUpdater(bool quiet) {
  // Double fork: the intermediate child spawns the updater and exits at once, so the
  // updater is re-parented and never becomes a zombie of ours, and nothing waits for it.
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) return false;
  pid_t mid = ::fork();
  if (mid < 0) {
    ::close(pipefd[0]);
    ::close(pipefd[1]);
    return false;
  }
  if (mid == 0) {
    ::close(pipefd[0]);
    ::setsid();
    char prog[] = "UpdateManager";
    char q[] = "q";
    char* argv[] = {prog, quiet ? q : nullptr, nullptr};
    pid_t pid = 0;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    int rc = posix_spawnp(&pid, prog, &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    char ok = rc == 0 ? 1 : 0;
    (void)!::write(pipefd[1], &ok, 1);
    ::_exit(0);
  }
  ::close(pipefd[1]);
  char ok = 0;
  ssize_t n;
  do {
    n = ::read(pipefd[0], &ok, 1);
  } while (n < 0 && errno == EINTR);
  ::close(pipefd[0]);
  int status = 0;
  while (::waitpid(mid, &status, 0) < 0 && errno == EINTR) {
  }
  return n == 1 && ok == 1;
}
