#include "card_target.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "dialog.h"
#include "process_probe.h"
#include "sim_process.h"
#include "tarn/tarn_iccr.h"

extern char** environ;

namespace tarn::test {

const std::string CardTarget::kUntouchedOut(63, 'X');
const std::string CardTarget::kUnterminated = "<unterminated>";

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kOutSize = 64;

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != 0 ? value : fallback;
}

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// The keys below HKEY_LOCAL_MACHINE that discovery reads, as a case may write them.
const char* const kReaderKeys[] = {
    "SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS",
    "SYSTEM\\CurrentControlSet\\services\\PCD_SERV",
    "SYSTEM\\CurrentControlSet\\Services\\PCD_SER2",
    kCardTestEnumerator,
};

// --- in this process: the static core, its registry file and its dialog observer ---------

std::string RegText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// The registry file in the export format, sections in the order of their first value.
std::string RegistryFile(const Registry& values) {
  std::vector<std::string> keys;
  for (const auto& v : values) {
    bool known = false;
    for (const auto& k : keys) known = known || k == v.key;
    if (!known) keys.push_back(v.key);
  }
  std::string text = "Windows Registry Editor Version 5.00\r\n";
  for (const auto& key : keys) {
    text += "\r\n[HKEY_LOCAL_MACHINE\\" + key + "]\r\n";
    for (const auto& v : values) {
      if (v.key != key || v.name.empty()) continue;
      text += "\"" + RegText(v.name) + "\"=";
      if (v.type == "REG_DWORD") {
        char number[16];
        std::snprintf(number, sizeof number, "dword:%08lx", std::stoul(v.data));
        text += number;
      } else {
        text += "\"" + RegText(v.data) + "\"";
      }
      text += "\r\n";
    }
  }
  return text;
}

class FileSetup final : public CardSetup {
 public:
  explicit FileSetup(const std::string& work_dir) {
    ::mkdir(work_dir.c_str(), 0755);
    registry_ = work_dir + "/registry-" + std::to_string(getpid()) + ".reg";
    setenv("TARN_REGISTRY_FILE", registry_.c_str(), 1);
    WriteRegistry({});
  }
  ~FileSetup() override { unlink(registry_.c_str()); }
  FileSetup(const FileSetup&) = delete;
  FileSetup& operator=(const FileSetup&) = delete;

  void WriteRegistry(const Registry& values) override {
    std::ofstream(registry_, std::ios::binary | std::ios::trunc) << RegistryFile(values);
  }
  std::string AttachReader(const std::string& device, int /*com*/) override { return device; }

 private:
  std::string registry_;
};

class InProcessTarget final : public CardTarget, private iccr::DialogObserver {
 public:
  explicit InProcessTarget(const std::string& work_dir) {
    setup_ = std::make_unique<FileSetup>(work_dir);
    setenv("TARN_DIALOG", "headless", 1);
  }
  ~InProcessTarget() override {
    if (thread_.joinable()) {
      // A call that overran Finish is still bounded by the dialog's own countdown.
      std::unique_lock<std::mutex> lock(mutex_);
      if (!ended_.wait_for(lock, std::chrono::seconds(60), [&] { return returned_; })) {
        std::cerr << "card target: a call never returned\n";
        std::abort();
      }
      lock.unlock();
      thread_.join();
    }
    iccr::SetDialogObserver(nullptr);
  }

  void WriteRegistry(const Registry& values) override { setup_->WriteRegistry(values); }
  std::string AttachReader(const std::string& device, int com) override {
    return setup_->AttachReader(device, com);
  }

  void Start(const char* title) override {
    if (thread_.joinable()) throw std::logic_error("a call is still running");
    {
      std::lock_guard<std::mutex> lock(mutex_);
      call_ = CardCall{};
      host_ = nullptr;
      returned_ = false;
      confirmed_ = 0;
    }
    threads_before_ = ThreadCount();
    iccr::SetDialogObserver(this);
    std::optional<std::string> copy;
    if (title != nullptr) copy = title;
    began_ = Clock::now();
    thread_ = std::thread([this, copy] { Call(copy); });
  }

  bool WaitText(int control, const std::string& text, milliseconds* at,
                milliseconds limit) override {
    std::unique_lock<std::mutex> lock(mutex_);
    return ended_.wait_for(lock, limit, [&] {
      for (const auto& t : call_.texts) {
        if (t.control == control && t.text == text) {
          if (at != nullptr) *at = t.at;
          return true;
        }
      }
      return false;
    });
  }

  bool Cancel() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (host_ == nullptr) return false;
    host_->PostCancel();
    return true;
  }

  // The message went to standard error, which nobody confirms: it is there once the call
  // has returned.
  bool ConfirmMessage(milliseconds limit) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ended_.wait_for(lock, limit, [&] { return returned_; })) return false;
    if (confirmed_ >= call_.messages.size()) return false;
    ++confirmed_;
    return true;
  }

  bool Picture(const std::string&) override { return false; }

  std::optional<CardCall> Finish(milliseconds limit) override {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!ended_.wait_for(lock, limit, [&] { return returned_; })) return std::nullopt;
    }
    thread_.join();
    iccr::SetDialogObserver(nullptr);
    // The call's own thread has been joined; a worker it left would still be counted.
    int now = ThreadCount();
    const auto settle = Clock::now() + std::chrono::seconds(2);
    while (now > threads_before_ && Clock::now() < settle) {
      std::this_thread::sleep_for(milliseconds(20));
      now = ThreadCount();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    call_.threads_left = now - threads_before_;
    return call_;
  }

  bool has_windows() const override { return false; }
  std::string name() const override { return "linux"; }

 private:
  void Call(const std::optional<std::string>& title) {
    char out[kOutSize];
    std::memset(out, 'X', sizeof out);
    out[sizeof out - 1] = '\0';
    // The platform's message box is a line on standard error.
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    std::FILE* capture = std::tmpfile();
    if (capture != nullptr) dup2(fileno(capture), STDERR_FILENO);
    const int result = fnExcelStringFunc(title ? title->c_str() : nullptr, out);
    const milliseconds elapsed = Since(began_);
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string errors;
    if (capture != nullptr) {
      std::rewind(capture);
      char buffer[512];
      size_t n = 0;
      while ((n = std::fread(buffer, 1, sizeof buffer, capture)) > 0) errors.append(buffer, n);
      std::fclose(capture);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    call_.result = result;
    const void* end = std::memchr(out, '\0', sizeof out);
    call_.out = end != nullptr
                    ? std::string(out, static_cast<size_t>(static_cast<const char*>(end) - out))
                    : kUnterminated;
    call_.elapsed = elapsed;
    std::istringstream lines(errors);
    std::string line;
    static const std::string kPrefix = "TarnIccr: ";
    while (std::getline(lines, line)) {
      if (line.compare(0, kPrefix.size(), kPrefix) == 0) {
        call_.messages.push_back({elapsed, "TarnIccr", line.substr(kPrefix.size())});
      } else {
        std::cerr << line << "\n";  // not a message box: passed on
      }
    }
    returned_ = true;
    ended_.notify_all();
  }

  void OnDialogShown(iccr::DialogHost& host) override {
    std::lock_guard<std::mutex> lock(mutex_);
    host_ = &host;
    call_.shown_at = Since(began_);
    ended_.notify_all();
  }
  void OnDialogText(int control, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    call_.texts.push_back({Since(began_), control, text});
    ended_.notify_all();
  }
  void OnDialogEnded(int /*result*/) override {
    std::lock_guard<std::mutex> lock(mutex_);
    host_ = nullptr;
  }

  std::unique_ptr<FileSetup> setup_;
  std::thread thread_;
  Clock::time_point began_{};
  int threads_before_ = 0;
  std::mutex mutex_;
  std::condition_variable ended_;  // any change of the call's state
  iccr::DialogHost* host_ = nullptr;
  CardCall call_;
  bool returned_ = false;
  size_t confirmed_ = 0;
};

// --- TarnIccr.dll in the Windows card host under Wine ------------------------------------

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// The host's "=HEX" fields.
std::string FromHex(const std::string& field) {
  const std::string hex = field.empty() ? field : field.substr(1);
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// Runs argv to its end within `limit`, its output into `log`. Returns the exit status, or -1
// when it could not start or was killed for overrunning.
int RunBounded(const std::vector<std::string>& argv, milliseconds limit, const std::string& log) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  const auto deadline = Clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return -1;
    if (Clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A line the host said: its kind and the words after it.
struct HostLine {
  std::string kind;
  std::vector<std::string> words;
};

// The prefix's registry, written with Wine's reg tool, and its COM links.
class WineSetup final : public CardSetup {
 public:
  WineSetup(std::string wine, std::string prefix, std::string log)
      : wine_(std::move(wine)), prefix_(std::move(prefix)), log_(std::move(log)) {}
  ~WineSetup() override {
    for (const auto& [link, previous] : links_) {
      unlink(link.c_str());
      if (!previous.empty() && symlink(previous.c_str(), link.c_str()) != 0)
        std::cerr << "card target: could not restore " << link << "\n";
    }
    if (wrote_registry_) RemoveReaderKeys();
  }
  WineSetup(const WineSetup&) = delete;
  WineSetup& operator=(const WineSetup&) = delete;

  void WriteRegistry(const Registry& values) override {
    wrote_registry_ = true;
    RemoveReaderKeys();
    for (const auto& v : values) {
      std::vector<std::string> argv = {wine_, "reg", "add", "HKLM\\" + v.key};
      if (!v.name.empty()) argv.insert(argv.end(), {"/v", v.name, "/t", v.type, "/d", v.data});
      argv.push_back("/f");
      if (RunBounded(argv, std::chrono::seconds(60), log_) != 0)
        throw std::runtime_error("reg add " + v.key + " " + v.name + " failed");
    }
  }

  std::string AttachReader(const std::string& device, int com) override {
    const std::string link = prefix_ + "/dosdevices/com" + std::to_string(com);
    bool known = false;
    for (const auto& entry : links_) known = known || entry.first == link;
    if (!known) {
      char target[4096];
      const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      links_.emplace_back(link, n > 0 ? std::string(target, static_cast<size_t>(n)) : "");
    }
    unlink(link.c_str());
    if (symlink(device.c_str(), link.c_str()) != 0)
      throw std::runtime_error("cannot link " + link + ": " + std::strerror(errno));
    return "COM" + std::to_string(com);
  }

 private:
  void RemoveReaderKeys() {
    for (const char* key : kReaderKeys) {
      RunBounded({wine_, "reg", "delete", std::string("HKLM\\") + key, "/f"},
                 std::chrono::seconds(60), log_);
    }
  }

  std::string wine_;
  std::string prefix_;
  std::string log_;
  std::vector<std::pair<std::string, std::string>> links_;  // link, what it pointed to
  bool wrote_registry_ = false;
};

class WineTarget final : public CardTarget {
 public:
  explicit WineTarget(const std::string& work_dir) : work_dir_(work_dir) {
    wine_ = EnvOr("TARN_WINE", "/usr/lib/wine/wine64");
    prefix_ = EnvOr("WINEPREFIX", "");
    const std::string build = EnvOr("TARN_WINDOWS_BUILD_DIR", "");
    if (prefix_.empty() || build.empty())
      throw std::runtime_error("the Wine target needs WINEPREFIX and TARN_WINDOWS_BUILD_DIR");
    ::mkdir(work_dir_.c_str(), 0755);
    log_ = work_dir_ + "/wine-" + std::to_string(getpid()) + ".log";
    setup_ = std::make_unique<WineSetup>(wine_, prefix_, log_);
    // Its own screen, so that nothing else's windows are found there.
    screen_ = std::make_unique<SimProcess>(
        std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24",
                                 "-nolisten", "tcp"},
        std::chrono::seconds(30));
    display_ = ":" + screen_->first_line();
    MapFonts();
    const std::string locales = JapaneseLocaleDir();
    // Wine's own messages go to the log: they are not the host's, and Wine's services, which
    // the first program of a prefix starts, would hold the test's output open.
    host_ = std::make_unique<SimProcess>(
        std::vector<std::string>{"sh", "-c", "exec \"$@\" 2>>\"$0\"", log_, "env", "-u", "LC_ALL",
                                 "DISPLAY=" + display_, "LOCPATH=" + locales, "LANG=ja_JP.UTF-8",
                                 wine_, build + "/card_reader/tests/win_card/card_host.exe",
                                 WindowsPath(build + "/card_reader/TarnIccr.dll")},
        std::chrono::seconds(120));
    HostLine line;
    if (!Take(host_->first_line(), line) || line.kind != "ready") {
      if (!Next(line, Clock::now() + std::chrono::seconds(120), "ready"))
        throw std::runtime_error("the card host did not start (see " + log_ + ")");
    }
  }

  ~WineTarget() override {
    // A host that ends by itself leaves Wine nothing to clean up after a kill.
    if (host_ && host_->WriteLine("exit")) {
      HostLine line;
      Next(line, Clock::now() + std::chrono::seconds(10), "bye");
    }
    host_.reset();
    setup_.reset();
  }

  void WriteRegistry(const Registry& values) override { setup_->WriteRegistry(values); }
  std::string AttachReader(const std::string& device, int com) override {
    return setup_->AttachReader(device, com);
  }

  void Start(const char* title) override {
    call_ = CardCall{};
    returned_ = false;
    Send(title == nullptr ? std::string("call N") : "call =" + Hex(title));
  }

  bool WaitText(int control, const std::string& text, milliseconds* at,
                milliseconds limit) override {
    const auto deadline = Clock::now() + limit;
    size_t checked = 0;
    for (;;) {
      for (; checked < call_.texts.size(); ++checked) {
        const DialogText& t = call_.texts[checked];
        if (t.control == control && t.text == text) {
          if (at != nullptr) *at = t.at;
          return true;
        }
      }
      HostLine line;
      if (returned_ || !Next(line, deadline)) return false;
    }
  }

  bool Cancel() override { return Command("cancel"); }
  bool ConfirmMessage(milliseconds limit) override {
    return Command("ok", Clock::now() + limit + std::chrono::seconds(5));
  }

  bool Picture(const std::string& path) override {
    Send("shot");
    HostLine line;
    do {
      if (!Next(line, Clock::now() + std::chrono::seconds(10))) return false;
    } while (line.kind != "shot" && line.kind != "error");
    if (line.kind != "shot" || line.words.size() < 4) return false;
    const auto& w = line.words;
    const std::pair<uint32_t, uint32_t> want(std::stoul(w[2]), std::stoul(w[3]));
    unlink(path.c_str());
    const int rc = RunBounded({"import", "-display", display_, "-window", "root", "-crop",
                               w[2] + "x" + w[3] + "+" + w[0] + "+" + w[1], "+repage", path},
                              std::chrono::seconds(30), log_);
    Send("taken");
    Next(line, Clock::now() + std::chrono::seconds(10), "done");
    return rc == 0 && PngSize(path) == want;
  }

  std::optional<CardCall> Finish(milliseconds limit) override {
    const auto deadline = Clock::now() + limit;
    HostLine line;
    while (!returned_) {
      if (!Next(line, deadline)) return std::nullopt;
    }
    return call_;
  }

  bool has_windows() const override { return true; }
  std::string name() const override { return "wine"; }

 private:
  static std::string WindowsPath(const std::string& path) {
    std::string out = "Z:" + path;
    for (char& c : out) {
      if (c == '/') c = '\\';
    }
    return out;
  }

  void Send(const std::string& command) {
    if (!host_->WriteLine(command)) throw std::runtime_error("the card host is gone");
  }

  // Sends a command and waits for its answer: "done" or "error".
  bool Command(const std::string& command,
               Clock::time_point deadline = Clock::now() + std::chrono::seconds(40)) {
    Send(command);
    HostLine line;
    while (Next(line, deadline)) {
      if (line.kind == "done") return true;
      if (line.kind == "error") return false;
    }
    return false;
  }

  // Parses one of the host's lines; false for lines that are not its own.
  static bool Take(std::string raw, HostLine& line) {
    static const std::string kPrefix = "card: ";
    while (!raw.empty() && (raw.back() == '\r' || raw.back() == '\n')) raw.pop_back();
    if (raw.compare(0, kPrefix.size(), kPrefix) != 0) return false;
    std::istringstream words(raw.substr(kPrefix.size()));
    line = HostLine{};
    words >> line.kind;
    std::string word;
    while (words >> word) line.words.push_back(word);
    return true;
  }

  // Reads the host's next line of its own and records what it says about the call; with
  // `kind`, reads on until a line of that kind. False when none came before `deadline`.
  bool Next(HostLine& line, Clock::time_point deadline, const std::string& kind = "") {
    for (;;) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      std::string raw;
      if (left.count() <= 0 || !host_->ReadLine(raw, left)) return false;
      if (!Take(raw, line)) continue;
      Record(line);
      if (kind.empty() || line.kind == kind) return true;
    }
  }

  void Record(const HostLine& line) {
    const auto& w = line.words;
    auto ms = [](const std::string& text) { return milliseconds(std::stoll(text)); };
    if (line.kind == "shown" && w.size() >= 1) {
      if (!call_.shown_at) call_.shown_at = ms(w[0]);
    } else if (line.kind == "text" && w.size() >= 3) {
      call_.texts.push_back({ms(w[0]), std::stoi(w[1]), FromHex(w[2])});
    } else if (line.kind == "message" && w.size() >= 3) {
      call_.messages.push_back({ms(w[0]), FromHex(w[1]), FromHex(w[2])});
    } else if (line.kind == "returned" && w.size() >= 5) {
      call_.elapsed = ms(w[0]);
      call_.result = std::stoi(w[1]);
      call_.out = w[2] == "unterminated" ? kUnterminated : FromHex(w[2]);
      call_.threads_left = std::stoi(w[4]) - std::stoi(w[3]);
      returned_ = true;
    } else if (line.kind == "stuck" || line.kind == "error") {
      std::cerr << "card host: " << line.kind;
      for (const auto& word : w) std::cerr << " " << word;
      std::cerr << "\n";
    }
  }

  // The template's face and the Japanese locale's interface face are not installed, and the
  // face of Wine's message boxes has no Japanese: without stand-ins each Japanese character is
  // drawn as a box. Wine draws captions itself only when it leaves no frame to a window
  // manager (Xvfb has none); managed windows also wait two seconds for one whenever they hide.
  void MapFonts() {
    const std::string done = prefix_ + "/tarn-card-fonts";
    if (access(done.c_str(), F_OK) == 0) return;
    const std::string replacements = "HKCU\\Software\\Wine\\Fonts\\Replacements";
    const std::vector<std::vector<std::string>> values = {
        {replacements, "ＭＳ Ｐゴシック", "REG_SZ", "IPAPGothic"},
        {replacements, "MS UI Gothic", "REG_SZ", "IPAPGothic"},
        {"HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink", "Tahoma",
         "REG_MULTI_SZ", "ipagp.ttf,IPAPGothic"},
        {"HKCU\\Software\\Wine\\X11 Driver", "Managed", "REG_SZ", "N"},
    };
    for (const auto& v : values) {
      // Wine reads the value names from the command line in the locale's character set.
      if (RunBounded({"env", "LANG=C.UTF-8", "LC_ALL=C.UTF-8", wine_, "reg", "add", v[0], "/v",
                      v[1], "/t", v[2], "/d", v[3], "/f"},
                     std::chrono::seconds(60), log_) != 0) {
        throw std::runtime_error("reg add " + v[0] + " " + v[1] + " failed");
      }
    }
    std::ofstream(done) << "mapped\n";
  }

  // A glibc locale of our own, so that Wine runs with the Japanese code page on a machine that
  // has not generated it.
  std::string JapaneseLocaleDir() {
    const std::string dir = work_dir_ + "/locale";
    const std::string locale = dir + "/ja_JP.UTF-8";
    if (access((locale + "/LC_CTYPE").c_str(), F_OK) != 0) {
      ::mkdir(dir.c_str(), 0755);
      // Made aside and moved in whole: several test programs may make it at once.
      const std::string aside = locale + "." + std::to_string(getpid());
      if (RunBounded({"localedef", "-i", "ja_JP", "-f", "UTF-8", aside}, std::chrono::seconds(120),
                     log_) != 0) {
        throw std::runtime_error("localedef failed (it needs Debian's locales package)");
      }
      if (std::rename(aside.c_str(), locale.c_str()) != 0)
        RunBounded({"rm", "-rf", aside}, std::chrono::seconds(30), log_);
    }
    return dir;
  }

  std::string work_dir_;
  std::string wine_;
  std::string prefix_;
  std::string log_;
  std::unique_ptr<SimProcess> screen_;
  std::string display_;
  std::unique_ptr<SimProcess> host_;
  std::unique_ptr<WineSetup> setup_;
  CardCall call_;
  bool returned_ = false;
};

}  // namespace

std::unique_ptr<CardTarget> CreateCardTarget(const std::string& work_dir) {
  const std::string chosen =
      EnvOr("TARN_TEST_TARGET", EnvOr("TARN_WINE", "").empty() ? "linux" : "wine");
  if (chosen == "wine") return std::make_unique<WineTarget>(work_dir);
  return std::make_unique<InProcessTarget>(work_dir);
}

std::unique_ptr<CardSetup> CreateCardSetup(const std::string& work_dir) {
  const std::string chosen =
      EnvOr("TARN_TEST_TARGET", EnvOr("TARN_WINE", "").empty() ? "linux" : "wine");
  if (chosen != "wine") return std::make_unique<FileSetup>(work_dir);
  const std::string prefix = EnvOr("WINEPREFIX", "");
  if (prefix.empty()) throw std::runtime_error("the Wine setup needs WINEPREFIX");
  ::mkdir(work_dir.c_str(), 0755);
  return std::make_unique<WineSetup>(EnvOr("TARN_WINE", "/usr/lib/wine/wine64"), prefix,
                                     work_dir + "/wine-setup-" + std::to_string(getpid()) + ".log");
}

}  // namespace tarn::test
