#pragma once
// A private JACK server with the dummy driver, for tests and benchmarks. Neither GoogleTest nor
// libjack inside: whoever starts it says how to tell that it answers.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace rt88h::testing {

// The jackd program on PATH; empty when it is not installed.
inline std::string findJackd() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/jackd";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// Whether a client can connect to the named server now.
using ServerProbe = std::function<bool(const std::string& server)>;

class PrivateJackServer {
 public:
  PrivateJackServer() = default;
  PrivateJackServer(const PrivateJackServer&) = delete;
  PrivateJackServer& operator=(const PrivateJackServer&) = delete;
  ~PrivateJackServer() { stop(); }

  // Starts `jackd -n name -d dummy -r 48000 -p frames` and waits (polling every 50 ms, at most
  // 5 s) until a client can connect.
  bool start(const std::string& name, unsigned frames, const ServerProbe& answers,
             std::string* reason) {
    const std::string jackd = findJackd();
    if (jackd.empty()) {
      *reason = "jackd is not installed";
      return false;
    }
    name_ = name;
    const char* tmp = std::getenv("TMPDIR");
    log_ = std::string(tmp != nullptr ? tmp : "/tmp") + "/" + name + ".log";
    std::vector<std::string> args{
        jackd, "-n", name, "-d", "dummy", "-r", "48000", "-p", std::to_string(frames)};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const int spawned = posix_spawn(&pid_, jackd.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid_ = -1;
      *reason = "jackd could not be started";
      return false;
    }
    // Readiness, not synchronisation: the server says nothing when it is ready.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        *reason = "jackd ended at once: " + logText();
        return false;
      }
      if (answers(name)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *reason = "jackd did not answer within 5 s: " + logText();
    stop();
    return false;
  }

  // SIGTERM and wait for the end.
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::kill(pid_, SIGCONT);  // a paused server takes the SIGTERM only when it runs again
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    paused_ = false;
    ::unlink(log_.c_str());
  }

  // Returns once the server has stopped (kill() alone returns before): it begins no cycle
  // until resumed. A cycle it began before may still be under way in its clients.
  bool pause() {
    if (!paused_ && signalAndWait(SIGSTOP, WUNTRACED)) paused_ = true;
    return paused_;
  }
  bool resume() {
    if (paused_ && signalAndWait(SIGCONT, WCONTINUED)) paused_ = false;
    return !paused_ && pid_ > 0;
  }
  // Gone without a word to its clients.
  void crash() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    paused_ = false;
    ::unlink(log_.c_str());
  }

  const std::string& name() const { return name_; }
  bool running() const { return pid_ > 0; }

  std::string logText() const {
    std::ifstream in(log_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  bool signalAndWait(int sig, int change) {
    if (pid_ <= 0 || ::kill(pid_, sig) != 0) return false;
    for (;;) {
      int status = 0;
      const pid_t got = ::waitpid(pid_, &status, change);
      if (got == pid_) {
        if (WIFSTOPPED(status)) return change == WUNTRACED;
        if (WIFCONTINUED(status)) return change == WCONTINUED;
        pid_ = -1;  // ended
        paused_ = false;
        return false;
      }
      if (got < 0 && errno != EINTR) return false;
    }
  }

  std::string name_;
  std::string log_;
  pid_t pid_ = -1;
  bool paused_ = false;  // only a change gets reported to waitpid()
};

}  // namespace rt88h::testing
