#pragma once
// What the window tests in the VM share: rt88h-devsim as a child process and this process's
// CPU time. Only inside scripts/alsa-vm.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace rt88h::app::testing {

// This process's CPU time: the window, the ports, the timer and the worker all run in it.
inline double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// rt88h-devsim as a child process; its report lands in a file.
class Devsim {
 public:
  ~Devsim() {
    if (pid_ > 0) stop();
    if (errors_ >= 0) ::close(errors_);
    if (exited_ >= 0) ::close(exited_);
    if (!reportPath_.empty()) std::remove(reportPath_.c_str());
  }

  // Returns once the device plays (its first line on stderr says so) or has given up.
  bool start(const std::vector<std::string>& args, std::string* line) {
    char path[] = "/tmp/rt88h-devsim-report.XXXXXX";
    const int report = ::mkstemp(path);
    int pipeFds[2];
    if (report < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    reportPath_ = path;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, report, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    std::vector<std::string> words{RT88H_DEVSIM_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int spawned =
        posix_spawn(&pid_, RT88H_DEVSIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(report);
    ::close(pipeFds[1]);
    errors_ = pipeFds[0];
    if (spawned != 0) {
      pid_ = -1;
      return false;
    }
    exited_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    // Bounded: a device that neither plays nor gives up in 20 s is broken.
    std::string first;
    pollfd fd{errors_, POLLIN, 0};
    while (first.find('\n') == std::string::npos && ::poll(&fd, 1, 20000) > 0) {
      char buffer[256];
      const ssize_t got = ::read(errors_, buffer, sizeof buffer);
      if (got <= 0) break;
      first.append(buffer, static_cast<std::size_t>(got));
    }
    *line = first;
    return first.find("playing") != std::string::npos;
  }

  // Waits up to `milliseconds` for the device to end by itself; its exit status, or -1.
  int waitExit(int milliseconds) {
    if (pid_ <= 0) return status_;
    pollfd fd{exited_, POLLIN, 0};
    if (exited_ < 0 || ::poll(&fd, 1, milliseconds) <= 0) return -1;
    return reap();
  }

  // SIGTERM: the device ends with its report.
  int stop() {
    if (pid_ <= 0) return status_;
    ::kill(pid_, SIGTERM);
    return reap();
  }

  // Whether the device has said `text` on stderr since it played (looked at without waiting);
  // each line is found once.
  bool said(const std::string& text) {
    pollfd fd{errors_, POLLIN, 0};
    while (errors_ >= 0 && ::poll(&fd, 1, 0) > 0) {
      char buffer[256];
      const ssize_t got = ::read(errors_, buffer, sizeof buffer);
      if (got <= 0) break;
      errorsSeen_.append(buffer, static_cast<std::size_t>(got));
    }
    const std::size_t at = errorsSeen_.find(text);
    if (at == std::string::npos) return false;
    errorsSeen_.erase(0, at + text.size());
    return true;
  }

  std::string report() const {
    std::ifstream file(reportPath_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

 private:
  int reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

  pid_t pid_ = -1;
  int errors_ = -1;
  int exited_ = -1;
  int status_ = -1;
  std::string reportPath_;
  std::string errorsSeen_;
};

}  // namespace rt88h::app::testing
