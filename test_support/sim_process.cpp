#include "sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tarn::test {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

SimProcess::SimProcess(std::vector<std::string> argv, std::chrono::milliseconds start_timeout) {
  int in_pipe[2];
  int out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    close(in_pipe[0]);
    close(in_pipe[1]);
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  stdin_fd_ = in_pipe[1];
  stdout_fd_ = out_pipe[0];
  if (rc != 0) {
    close(stdin_fd_);
    close(stdout_fd_);
    throw std::runtime_error(std::string("cannot start ") + argv[0] + ": " + std::strerror(rc));
  }
  pid_ = pid;
  if (!ReadLine(first_line_, start_timeout)) {
    Terminate();
    throw std::runtime_error("simulator " + argv.back() + " did not start in time");
  }
}

SimProcess::~SimProcess() {
  Terminate();
}

bool SimProcess::WriteLine(const std::string& line) {
  if (stdin_fd_ < 0) return false;
  std::string data = line + "\n";
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = write(stdin_fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

bool SimProcess::ReadLine(std::string& line, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  size_t scanned = 0;  // a long line arrives in many reads: look at each byte once
  for (;;) {
    auto nl = pending_.find('\n', scanned);
    if (nl != std::string::npos) {
      line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return true;
    }
    if (stdout_fd_ < 0) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{stdout_fd_, POLLIN, 0};
    int r = poll(&pfd, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char buf[4096];
    ssize_t n = read(stdout_fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(stdout_fd_);
      stdout_fd_ = -1;
      continue;  // hand out what is pending, then report the end
    }
    scanned = pending_.size();
    pending_.append(buf, static_cast<size_t>(n));
  }
}

bool SimProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void SimProcess::Terminate() {
  if (stdin_fd_ >= 0) {
    close(stdin_fd_);
    stdin_fd_ = -1;
  }
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
  }
  if (stdout_fd_ >= 0) {
    close(stdout_fd_);
    stdout_fd_ = -1;
  }
}

std::string PythonPath() {
  return TARN_TEST_PYTHON;
}
std::string SourceDir() {
  return TARN_TEST_SOURCE_DIR;
}

}  // namespace tarn::test
