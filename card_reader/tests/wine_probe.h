// Helpers for the card reader's Wine tests: the Windows probe program run under Wine, COM
// ports of the Wine prefix linked to pseudo-terminals, registry values written with Wine's
// own reg tool, and a pseudo-terminal pair whose master side plays the reader.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace tarn::iccr::wine {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Why the Wine side cannot run here; empty when it can.
inline std::string MissingSetup() {
  for (const char* name : {"TARN_WINE", "WINEPREFIX", "TARN_WINDOWS_BUILD_DIR"}) {
    if (Env(name).empty()) return std::string(name) + " is not set (run through ctest)";
  }
  return "";
}

#define TARN_REQUIRE_WINE()                                         \
  do {                                                              \
    const std::string missing = ::tarn::iccr::wine::MissingSetup(); \
    if (!missing.empty()) GTEST_SKIP() << missing;                  \
  } while (false)

inline std::string ProbePath() {
  return Env("TARN_WINDOWS_BUILD_DIR") + "/card_reader/tests/win/iccr_win_probe.exe";
}

// Where Wine's own messages go: a file per test case in the working directory, begun afresh
// by each run. Not the test's standard error: the first Wine process of a session starts
// Wine's background services, which inherit it and outlive the test, and the test run would
// wait for them to close it.
inline std::string WineStderrPath() {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name =
      test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "outside";
  return "wine-" + name + ".log";
}
inline void AddWineStderr(posix_spawn_file_actions_t& actions) {
  static std::string begun;
  const std::string path = WineStderrPath();
  const int flags = O_WRONLY | O_CREAT | (begun == path ? O_APPEND : O_TRUNC);
  begun = path;
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, path.c_str(), flags, 0644);
}

// Runs argv to its end within `limit`, its standard output into `out`. Returns the exit
// status, or -1 when it could not start or was killed for overrunning.
inline int RunBounded(const std::vector<std::string>& argv, milliseconds limit,
                      std::string* out = nullptr) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  AddWineStderr(actions);
  std::vector<char*> args;
  std::vector<std::string> copy = argv;
  for (auto& a : copy) args.push_back(&a[0]);
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (rc != 0) {
    close(pipe_fds[0]);
    return -1;
  }
  const auto deadline = Clock::now() + limit;
  bool overran = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      overran = true;
      break;
    }
    pollfd fd{pipe_fds[0], POLLIN, 0};
    const int n = poll(&fd, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    char buffer[4096];
    const ssize_t got = read(pipe_fds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (out != nullptr) out->append(buffer, static_cast<size_t>(got));
  }
  close(pipe_fds[0]);
  int status = 0;
  if (overran) kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (overran || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Wine's reg tool on the test prefix.
inline int Reg(std::vector<std::string> args) {
  args.insert(args.begin(), {Env("TARN_WINE"), "reg"});
  return RunBounded(args, std::chrono::seconds(60));
}
inline void RegAdd(const std::string& key, const std::string& name, const std::string& type,
                   const std::string& data) {
  ASSERT_EQ(Reg({"add", key, "/v", name, "/t", type, "/d", data, "/f"}), 0)
      << "reg add " << key << " " << name;
}
// Removes a key with everything below it; a key that is not there is fine.
inline void RegDelete(const std::string& key) {
  Reg({"delete", key, "/f"});
}
inline bool RegKeyExists(const std::string& key) {
  return Reg({"query", key}) == 0;
}

// One line the probe reported: its key and the rest.
struct ProbeLine {
  std::string key;
  std::string rest;
};

// The Windows probe running one scenario under Wine. Lines that are not the probe's own (Wine
// may print to standard output too) are passed over.
class Probe {
 public:
  explicit Probe(std::vector<std::string> args, const std::string& program = ProbePath()) {
    if (access(program.c_str(), R_OK) != 0) note_ = "(no probe at " + program + ")\n";
    args.insert(args.begin(), {Env("TARN_WINE"), program});
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    AddWineStderr(actions);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    if (rc != 0) {
      pid_ = -1;
      close(pipe_fds[0]);
      return;
    }
    out_ = pipe_fds[0];
  }
  ~Probe() {
    if (out_ >= 0) close(out_);
    if (pid_ <= 0) return;
    // A probe that is still running here has overrun: it gets a short grace, then is killed.
    int status = 0;
    const auto deadline = Clock::now() + milliseconds(2000);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
  }
  Probe(Probe&& other) noexcept
      : note_(std::move(other.note_)),
        pid_(std::exchange(other.pid_, -1)),
        out_(std::exchange(other.out_, -1)),
        pending_(std::move(other.pending_)),
        lines_(std::move(other.lines_)),
        seen_(other.seen_),
        ended_(other.ended_) {}
  Probe& operator=(Probe&&) = delete;

  // Waits for the line with `key`; false when the probe ended or `limit` passed first.
  bool WaitFor(const std::string& key, milliseconds limit = std::chrono::seconds(30)) {
    for (size_t i = seen_; i < lines_.size(); ++i) {
      if (lines_[i].key == key) {
        seen_ = i + 1;
        return true;
      }
    }
    const auto deadline = Clock::now() + limit;
    while (!ended_) {
      std::string line;
      if (!ReadLine(line, deadline)) return false;
      if (Take(line) && lines_.back().key == key) {
        seen_ = lines_.size();
        return true;
      }
    }
    return false;
  }
  // Reads to the probe's end; false when it did not end within `limit`.
  bool Finish(milliseconds limit = std::chrono::seconds(60)) { return WaitFor("end", limit); }

  // The rest of the first line with `key` ("<none>" when there was none).
  std::string Value(const std::string& key) const {
    for (const auto& line : lines_) {
      if (line.key == key) return line.rest;
    }
    return "<none>";
  }
  std::vector<std::string> Values(const std::string& key) const {
    std::vector<std::string> out;
    for (const auto& line : lines_) {
      if (line.key == key) out.push_back(line.rest);
    }
    return out;
  }
  // Every line, for failure messages.
  std::string Transcript() const {
    std::string out = note_ + (pid_ > 0 ? "" : "(Wine did not start)\n");
    for (const auto& line : lines_) out += line.key + " " + line.rest + "\n";
    return out + "(Wine's messages: " + WineStderrPath() + ")\n";
  }

 private:
  bool ReadLine(std::string& line, Clock::time_point deadline) {
    for (;;) {
      const size_t nl = pending_.find('\n');
      if (nl != std::string::npos) {
        line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return true;
      }
      if (out_ < 0) return false;
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd fd{out_, POLLIN, 0};
      const int n = poll(&fd, 1, static_cast<int>(left));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      char buffer[4096];
      const ssize_t got = read(out_, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        close(out_);
        out_ = -1;
        continue;
      }
      pending_.append(buffer, static_cast<size_t>(got));
    }
  }
  bool Take(const std::string& raw) {
    static const std::string kPrefix = "probe: ";
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, kPrefix.size(), kPrefix) != 0) return false;
    line.erase(0, kPrefix.size());
    const size_t space = line.find(' ');
    ProbeLine entry{line.substr(0, space),
                    space == std::string::npos ? "" : line.substr(space + 1)};
    if (entry.key == "end") ended_ = true;
    lines_.push_back(std::move(entry));
    return true;
  }

  std::string note_;
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
  std::vector<ProbeLine> lines_;
  size_t seen_ = 0;
  bool ended_ = false;
};

// The probe's whole report for a scenario that needs nothing from the test while it runs.
inline Probe RunProbe(const std::vector<std::string>& args) {
  Probe probe(args);
  EXPECT_TRUE(probe.Finish()) << probe.Transcript();
  return probe;
}

// Numbers in the rest of a line ("1 362" -> {1, 362}).
inline std::vector<long long> Numbers(const std::string& rest) {
  std::vector<long long> out;
  size_t pos = 0;
  while (pos < rest.size()) {
    size_t used = 0;
    try {
      out.push_back(std::stoll(rest.substr(pos), &used));
    } catch (const std::exception&) {
      break;
    }
    pos += used;
  }
  return out;
}

// COM port `number` of the Wine prefix, linked to `device` for the object's life; whatever
// the prefix had there before comes back afterwards.
class ComPort {
 public:
  ComPort(int number, const std::string& device)
      : name_("COM" + std::to_string(number)),
        link_(Env("WINEPREFIX") + "/dosdevices/com" + std::to_string(number)) {
    char target[4096];
    const ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
    if (n > 0) previous_.assign(target, static_cast<size_t>(n));
    unlink(link_.c_str());
    linked_ = symlink(device.c_str(), link_.c_str()) == 0;
  }
  ~ComPort() {
    unlink(link_.c_str());
    if (!previous_.empty() && symlink(previous_.c_str(), link_.c_str()) != 0)
      ADD_FAILURE() << "could not restore " << link_ << " -> " << previous_;
  }
  ComPort(const ComPort&) = delete;
  ComPort& operator=(const ComPort&) = delete;

  bool linked() const { return linked_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::string link_;
  std::string previous_;
  bool linked_ = false;
};

// A pseudo-terminal pair left in its default line settings: whatever the link needs, it must
// set itself. The test plays the reader on the master side.
class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name != nullptr) slave_ = name;
  }
  ~PtyPair() { CloseMaster(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0 && !slave_.empty(); }
  const std::string& slave() const { return slave_; }

  void Send(const std::string& bytes) const {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the link wrote, gathered until `count` bytes came or `limit` passed.
  std::string Receive(size_t count, milliseconds limit = milliseconds(5000)) const {
    std::string got;
    const auto deadline = Clock::now() + limit;
    while (got.size() < count && Clock::now() < deadline) {
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, 50) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }
  // The line settings, which the master reports for its slave.
  bool Settings(termios& tio) const { return tcgetattr(master_, &tio) == 0; }
  // The reader goes away: its side of the line is gone.
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

inline std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

}  // namespace tarn::iccr::wine
