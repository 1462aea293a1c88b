#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "appliance_sim.h"
#include "cli_run.h"

namespace tarn::host {
namespace {

// The Windows build always carries the card-reader library, and so tarn.exe its card command.
constexpr bool kWindowsHasCard = true;

}  // namespace

const Target& TheTarget() {
  static const Target target = [] {
    Target t;
    const char* wine = std::getenv("TARN_WINE");
    if (wine == nullptr || *wine == '\0') {
      t.tarn = {TARN_CLI};
      t.terminal = t.tarn;
      t.card = TARN_CLI_CARD != 0;
      t.line_end = "\n";
      return t;
    }
    const char* dir = std::getenv("TARN_WINDOWS_BUILD_DIR");
    const std::string bin = std::string(dir == nullptr ? "" : dir) + "/host/";
    t.wine = true;
    t.tarn = {wine, bin + "tarn.exe"};
    // Only a process on tarn's console sees the console's mode: the probe runs tarn and reports.
    t.terminal = {wine, bin + "tarn_console_probe.exe"};
    t.card = kWindowsHasCard;
    t.line_end = "\r\n";
    return t;
  }();
  return target;
}

namespace {

std::string ShellQuoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out.push_back(c);
    }
  }
  return out + "'";
}

// Under Wine redirected output carries CRLF line ends and, now and then, Wine's own lines: both
// go, so the cases keep their exact texts.
std::string FromRedirectedWindowsOutput(const std::string& raw) {
  static const std::regex noise("([0-9a-f]{4}:(fixme|err|warn|trace):|wine: ).*");
  std::string out;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\n', start);
    const bool complete = end != std::string::npos;
    if (!complete) end = raw.size();
    std::string line = raw.substr(start, end - start);
    if (complete && !line.empty() && line.back() == '\r') line.pop_back();
    if (!std::regex_match(line, noise)) out += line + (complete ? "\n" : "");
    start = end + 1;
  }
  return out;
}

// Wine's console draws on a terminal with escape sequences: the text without them, a cursor step
// to the right (how it draws a blank at the end of a write) as that many blanks.
std::string FromWineConsole(const std::string& raw) {
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r') continue;
    if (raw[i] != '\x1b' || i + 1 >= raw.size()) {
      out.push_back(raw[i]);
      continue;
    }
    if (raw[i + 1] == ']') {  // operating-system command, up to BEL
      const size_t end = raw.find('\x07', i);
      i = end == std::string::npos ? raw.size() : end;
      continue;
    }
    size_t j = i + 2;
    while (j < raw.size() && (raw[j] < 0x40 || raw[j] > 0x7e)) ++j;
    if (raw[i + 1] == '[' && j < raw.size() && raw[j] == 'C') {
      const std::string count = raw.substr(i + 2, j - i - 2);
      out.append(count.empty() ? 1 : std::stoul(count), ' ');
    }
    i = j;
  }
  return out;
}

}  // namespace

// Runs `tarn ARGS` (ARGS in shell syntax) through the shell in a session of its own, so it has
// no terminal to prompt on, whatever terminal the tests run from. The output goes to a file, not
// a pipe: the services Wine starts beside the first program of a prefix inherit its descriptors
// and would hold a pipe open long after tarn has ended.
CliRun Tarn(const std::string& args, const std::string& wrapper) {
  CliRun run;
  const std::filesystem::path out =
      std::filesystem::temp_directory_path() / ("tarn-cli-out-" + std::to_string(getpid()));
  std::string command = "setsid -w timeout -k 10 90";
  if (!wrapper.empty()) command += " " + wrapper;
  for (const std::string& part : TheTarget().tarn) command += " " + ShellQuoted(part);
  command += " " + args + " </dev/null >" + ShellQuoted(out.string()) + " 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream in(out, std::ios::binary);
  run.raw.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  std::filesystem::remove(out);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.output = TheTarget().wine ? FromRedirectedWindowsOutput(run.raw) : run.raw;
  return run;
}

namespace {

class CliTest : public ::testing::Test {
 public:
  static void SetUpTestSuite() { sim_ = std::make_unique<test::ApplianceSim>(); }
  static void TearDownTestSuite() { sim_.reset(); }

 protected:
  void SetUp() override {
    sim_->Reset();
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
    unsetenv("TARN_PASSWORD");
    // The cases' texts are UTF-8; Wine reads the command line and the environment in the
    // locale's character set.
    if (TheTarget().wine) setenv("LC_ALL", "C.UTF-8", 1);
    dir_ = std::filesystem::path("/tmp") / ("tarn-cli-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    setenv("TEMP", dir_.c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string host() const { return sim_->host(); }
  std::string File(const std::string& name) const { return (dir_ / name).string(); }

  static std::unique_ptr<test::ApplianceSim> sim_;
  std::filesystem::path dir_;
};

std::unique_ptr<test::ApplianceSim> CliTest::sim_;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(CliTest, StatusPrintsTheValueOrTheError) {
  // The exit status is the appliance's value too.
  CliRun run = Tarn("status " + host());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "1\n");
  sim_->Configure({{"mchiman", 0}});
  run = Tarn("status " + host());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "0\n");
  sim_->Configure({{"responses", {{"/script/_userlogin/zc_auth.shp", {{"status", 404}}}}}});
  run = Tarn("status " + host());
  EXPECT_EQ(run.status, 98);
  EXPECT_EQ(run.output, "tarn: 404 Not Found\n");
  run = Tarn("--direct status 127.0.0.1:1");
  EXPECT_EQ(run.status, 99);
  EXPECT_NE(run.output.find("tarn: "), std::string::npos);
}

TEST_F(CliTest, DirectBypassesTheProxyFromEitherPlace) {
  // The simulator doubles as the proxy; the address behind it is closed. Under Wine the proxy is
  // the system's: WinINet takes http_proxy when the registry's Internet Settings name none.
  setenv("http_proxy", ("http://" + host()).c_str(), 1);
  CliRun run = Tarn("status 127.0.0.1:1");
  EXPECT_EQ(run.output, "1\n");
  const auto requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].proxied);
  for (const char* args : {"--direct status 127.0.0.1:1", "status 127.0.0.1:1 --direct"}) {
    sim_->ClearRequests();
    run = Tarn(args);
    EXPECT_EQ(run.status, 99) << args << ": " << run.output;
    EXPECT_TRUE(sim_->Requests().empty()) << args;
  }
}

TEST_F(CliTest, JobLogWithPasswordFromOptionOrEnvironment) {
  CliRun run =
      Tarn("joblog " + host() + " " + File("log.txt") + " --user logger --password logpass");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_FALSE(Slurp(File("log.txt")).empty());
  setenv("TARN_PASSWORD", "wrong", 1);
  run = Tarn("joblog " + host() + " " + File("log.txt") + " --user logger");
  EXPECT_EQ(run.status, 91);
  EXPECT_EQ(run.output, "tarn: Sign-in refused by the appliance.\n");
  sim_->Configure({{"mchiman", 0}});
  run = Tarn("joblog " + host() + " " + File("log2.txt") + " --no-login");
  EXPECT_EQ(run.status, 0) << run.output;
}

TEST_F(CliTest, UsersAndProxyTransfers) {
  setenv("TARN_PASSWORD", "secret", 1);
  CliRun run = Tarn("users get " + host() + " " + File("users.csv") + " --user admin");
  EXPECT_EQ(run.status, 0) << run.output;
  const std::string users = Slurp(File("users.csv"));
  EXPECT_FALSE(users.empty());
  run = Tarn("users set " + host() + " " + File("users.csv") + " --user admin");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(sim_->StoredUpload("/cgi-bin/mainte/userimport.cgi"), users);
  run = Tarn("proxy set " + host() + " " + File("missing.txt") + " --user admin");
  EXPECT_EQ(run.status, 99);
  EXPECT_EQ(run.output, "tarn: File open error. FileName:[" + File("missing.txt") + "]\n");
  run = Tarn("proxy get " + host() + " " + File("proxy.txt") + " --user logger --password logpass");
  EXPECT_EQ(run.status, 93);
  EXPECT_NE(run.output.find("ADMIN"), std::string::npos);
}

TEST_F(CliTest, DigestAndByteCount) {
  CliRun run = Tarn("digest --user '' --password ''");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "ad9433e4d73e0f7d02a80d135283cb99\n");  // MD5 of ":qm4vr7:"
  // Every line on a pipe ends as the platform's text does.
  EXPECT_EQ(run.raw, "ad9433e4d73e0f7d02a80d135283cb99" + TheTarget().line_end);
  run = Tarn("utf8-count 'h\xc3\xa9'");
  EXPECT_EQ(run.output, "4\n");
  run = Tarn("--help");
  EXPECT_EQ(run.status, 0);
  for (const char* command : {"status", "joblog", "users", "proxy", "digest"}) {
    EXPECT_NE(run.output.find(command), std::string::npos) << command;
  }
  EXPECT_EQ(run.output.find("\n  card ") != std::string::npos, TheTarget().card);
}

TEST_F(CliTest, ArgumentsArriveWhole) {
  // Windows hands a program one command line that it splits again: blanks, quotes and
  // backslashes must survive, and characters beyond U+FFFF take two UTF-16 units.
  const struct {
    const char* name;
    std::string args;
    std::string output;
  } cases[] = {
      {"blanks and quotes", "utf8-count 'a \"b\" c'", "8\n"},
      {"backslash before a quote", "utf8-count 'a\\\"b'", "5\n"},
      {"trailing backslash", "utf8-count 'a b\\'", "5\n"},
      {"outside the BMP", "utf8-count '\xf0\x9f\x98\x80'", "5\n"},
      {"mixed", "utf8-count 'h\xc3\xa9 \xe3\x81\x82'", "8\n"},
  };
  for (const auto& c : cases) {
    const CliRun run = Tarn(c.args);
    EXPECT_EQ(run.status, 0) << c.name;
    EXPECT_EQ(run.output, c.output) << c.name;
  }
}

TEST_F(CliTest, PasswordFromTheEnvironmentIsTheOptionsText) {
  // Windows keeps the environment in UTF-16 too: a non-ASCII password must not change on the
  // way.
  const std::string password = "p\xc3\xa4ss \xe2\x82\xac";
  const CliRun given = Tarn("digest --user u --password " + ShellQuoted(password));
  ASSERT_EQ(given.status, 0) << given.output;
  ASSERT_EQ(given.output.size(), 33u) << given.output;
  setenv("TARN_PASSWORD", password.c_str(), 1);
  const CliRun from_env = Tarn("digest --user u");
  EXPECT_EQ(from_env.status, 0);
  EXPECT_EQ(from_env.output, given.output);
  // A different password gives a different digest: the comparison above means something.
  setenv("TARN_PASSWORD", "pass", 1);
  EXPECT_NE(Tarn("digest --user u").output, given.output);
}

TEST_F(CliTest, EachResultCodeIsExplained) {
  std::ofstream(File("users.csv")) << "alice,1\n";
  const std::string missing = File("m\xc3\xafssing.txt");  // non-ASCII name, both ways
  struct Case {
    const char* name;
    nlohmann::json config;
    std::string args;
    int status;
    std::string output;
  } cases[] = {
      {"refused",
       {},
       "joblog " + host() + " " + File("a") + " --user admin --password bad",
       91,
       "tarn: Sign-in refused by the appliance.\n"},
      {"no LOG",
       {},
       "joblog " + host() + " " + File("a") + " --user nobody --password nopass",
       92,
       "tarn: The user lacks the LOG right.\n"},
      {"no ADMIN",
       {},
       "users get " + host() + " " + File("a") + " --user logger --password logpass",
       93,
       "tarn: The user lacks the ADMIN right.\n"},
      {"failure mark",
       {{"import_reject", true}},
       "users set " + host() + " " + File("users.csv") + " --user admin --password secret",
       95,
       "tarn: The appliance reported a failure.\n"},
      {"web page",
       {{"responses", {{"/cgi-bin/mainte/userexport.cgi", {{"kind", "html"}}}}}},
       "users get " + host() + " " + File("page.htm") + " --user admin --password secret",
       96,
       "tarn: The appliance sent a web page instead of the data; the page is in " +
           File("page.htm") + ".\n"},
      {"HTTP status",
       {{"responses", {{"/cgi-bin/mainte/proxyexport.cgi", {{"status", 500}}}}}},
       "proxy get " + host() + " " + File("a") + " --user admin --password secret",
       98,
       "tarn: 500 Internal Server Error\n"},
      {"missing file",
       {},
       "proxy set " + host() + " '" + missing + "' --user admin --password secret",
       99,
       "tarn: File open error. FileName:[" + missing + "]\n"},
  };
  for (const Case& c : cases) {
    sim_->Reset();
    if (!c.config.is_null()) sim_->Configure(c.config);
    const CliRun run = Tarn(c.args);
    EXPECT_EQ(run.status, c.status) << c.name;
    EXPECT_EQ(run.output, c.output) << c.name;
  }
}

// tarn started on a pseudo-terminal of its own, as a person at a terminal runs it. Under Wine the
// terminal is tarn's console, through the console probe.
class TerminalRun {
 public:
  explicit TerminalRun(const std::vector<std::string>& args) {
    std::vector<std::string> argv = TheTarget().terminal;
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(master_);
      login_tty(slave_);
      execv(raw[0], raw.data());
      _exit(127);
    }
  }
  ~TerminalRun() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Reads the terminal until `text` has appeared, at most a few seconds.
  bool WaitFor(const std::string& text) {
    return WaitUntil(
        [&text](const std::string& screen) { return screen.find(text) != std::string::npos; });
  }
  void Type(const std::string& text) { (void)!write(master_, text.data(), text.size()); }
  bool Echoes() const {
    termios t{};
    tcgetattr(slave_, &t);
    return (t.c_lflag & ECHO) != 0;
  }
  // Whether what is typed now stays off the screen: on Linux the terminal's echo flag, under
  // Wine the console mode as the probe saw it.
  bool InputHidden() { return TheTarget().wine ? WaitFor("@@echo=off") : !Echoes(); }

  struct Ending {
    bool ended = false;
    bool interrupted = false;  // by Ctrl-C: SIGINT, or Windows' STATUS_CONTROL_C_EXIT
    int exit_code = -1;        // when it exited
    bool echoes = false;       // the terminal (console) echoes again afterwards
  };
  // Waits a few seconds for tarn's end.
  Ending Finish() {
    Ending end;
    if (!TheTarget().wine) {
      const int status = Wait();
      end.ended = status != -1;
      end.interrupted = WIFSIGNALED(status) && WTERMSIG(status) == SIGINT;
      if (WIFEXITED(status)) end.exit_code = WEXITSTATUS(status);
      end.echoes = Echoes();
      return end;
    }
    static const std::regex report("@@exit=([0-9]+),echo=(on|off)\n");
    std::smatch match;
    if (!WaitUntil([&match](const std::string& screen) {
          return std::regex_search(screen, match, report);
        })) {
      return end;
    }
    const unsigned long code = std::stoul(match[1].str());
    end.ended = code != 259;  // STILL_ACTIVE: the probe gave up waiting
    end.interrupted = code == 0xC000013Aul;
    end.exit_code = static_cast<int>(code);
    end.echoes = match[2].str() == "on";
    Wait();
    return end;
  }
  // The raw wait status, or -1 when the process does not end within a few seconds.
  int Wait() {
    for (int i = 0; i < 200; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }
  // What the terminal shows: under Wine without the console's escape sequences.
  std::string output() const { return TheTarget().wine ? FromWineConsole(output_) : output_; }

 private:
  bool WaitUntil(const std::function<bool(const std::string&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done(output())) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) return false;
      output_.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  int master_ = -1;
  int slave_ = -1;  // kept open so the terminal's settings stay readable after tarn ends
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::string output_;
};

TEST_F(CliTest, PasswordIsAskedWithoutEcho) {
  TerminalRun run({"digest", "--user", "u"});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.WaitFor("Password for u:")) << run.output();
  EXPECT_TRUE(run.InputHidden());
  run.Type("secret\r");  // Enter sends CR, on a console as on a terminal
  ASSERT_TRUE(run.WaitFor("34806e6465789f5017cbbfda76de1f15"))  // MD5 of "u:qm4vr7:secret"
      << run.output();
  const TerminalRun::Ending end = run.Finish();
  EXPECT_TRUE(end.ended);
  EXPECT_EQ(end.exit_code, 0);
  EXPECT_EQ(run.output().find("secret"), std::string::npos) << run.output();
  EXPECT_TRUE(end.echoes);
}

TEST_F(CliTest, CtrlCAtThePromptEndsTheCommandWithTheEchoBack) {
  TerminalRun run({"digest", "--user", "u"});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.WaitFor("Password for u:")) << run.output();
  ASSERT_TRUE(run.InputHidden());
  run.Type("se\x03");
  const TerminalRun::Ending end = run.Finish();
  EXPECT_TRUE(end.ended) << run.output();
  EXPECT_TRUE(end.interrupted) << end.exit_code;
  EXPECT_TRUE(end.echoes);
  // The command stops: no digest of the part typed before Ctrl-C.
  EXPECT_FALSE(std::regex_search(run.output(), std::regex("[0-9a-f]{32}"))) << run.output();
}

TEST_F(CliTest, InterruptedPromptGivesTheEchoBack) {
  if (TheTarget().wine) GTEST_SKIP() << "signals are how Linux interrupts; Ctrl-C is for both";
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    TerminalRun run({"digest", "--user", "u"});
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.WaitFor("Password for u: ")) << run.output();
    ASSERT_FALSE(run.Echoes());
    kill(run.pid(), sig);
    const int status = run.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "signal " << sig;
    EXPECT_TRUE(run.Echoes()) << "signal " << sig;
  }
}

TEST_F(CliTest, TerminalShowsTextAsItIs) {
  // A console takes UTF-16 (WriteConsoleW), a pipe bytes: the terminal must show the same text.
  // (On Windows the library's narrow form is the OEM code page, which holds U+00EF.)
  const std::string missing = File("m\xc3\xafssing file.txt");
  TerminalRun run({"proxy", "set", host(), missing, "--user", "admin", "--password", "secret"});
  ASSERT_TRUE(run.started());
  EXPECT_TRUE(run.WaitFor("tarn: File open error. FileName:[" + missing + "]")) << run.output();
  const TerminalRun::Ending end = run.Finish();
  EXPECT_EQ(end.exit_code, 99);
}

TEST_F(CliTest, TransfersShowProgressOnATerminalOnly) {
  std::ofstream(File("users.csv")) << "alice,1\n";
  const nlohmann::json large = {
      {"responses", {{"/cgi-bin/mainte/userexport.cgi", {{"kind", "large"}, {"size", 4 << 20}}}}}};
  const std::vector<std::string> admin = {"--user", "admin", "--password", "secret"};
  struct Case {
    const char* name;
    nlohmann::json config;
    std::vector<std::string> args;
    int status;
    std::string line;  // the last progress line: bytes, rate where known, elapsed time
  } cases[] = {
      {"download",
       large,
       {"users", "get", host(), File("big.csv")},
       0,
       "received 4\\.0 MiB  [0-9.]+ (B|KiB|MiB|GiB)/s  0:[0-9]{2}"},
      {"job log",
       {},
       {"joblog", host(), File("log.txt"), "--no-login"},
       0,
       "received [0-9]+ B  [0-9.]+ (B|KiB|MiB|GiB)/s  0:[0-9]{2}"},
      {"upload",
       {},
       {"users", "set", host(), File("users.csv")},
       0,
       "sent 8 B  [0-9.]+ (B|KiB|MiB|GiB)/s  0:[0-9]{2}"},
      // No rate for an upload that did not go out.
      {"failed upload",
       {},
       {"proxy", "set", host(), File("missing.txt")},
       99,
       "sending 0 B  0:[0-9]{2}"},
  };
  for (const Case& c : cases) {
    sim_->Reset();
    sim_->Configure({{"mchiman", 0}});
    if (!c.config.is_null()) sim_->Configure(c.config);
    std::vector<std::string> args = c.args;
    if (args[0] != "joblog") args.insert(args.end(), admin.begin(), admin.end());
    {
      TerminalRun run(args);
      ASSERT_TRUE(run.started()) << c.name;
      // The progress lines overwrite one another; the last one stays, ending the first line.
      EXPECT_TRUE(run.WaitFor("\n")) << c.name;
      const TerminalRun::Ending end = run.Finish();
      EXPECT_EQ(end.exit_code, c.status) << c.name << ": " << run.output();
      const std::string screen = run.output();
      // Wine's console draws the carriage return as a cursor move, which the screen text drops.
      const std::string start = TheTarget().wine ? "" : "\r";
      EXPECT_TRUE(std::regex_search(screen, std::regex(start + c.line + " *\r?\n")))
          << c.name << ": " << screen;
    }
    // Redirected, the same command shows no progress at all.
    std::string shell_args;
    for (const std::string& a : args) shell_args += ShellQuoted(a) + " ";
    const CliRun quiet = Tarn(shell_args);
    EXPECT_EQ(quiet.status, c.status) << c.name;
    for (const char* word : {"received", "sent", "sending", "\r"}) {
      EXPECT_EQ(quiet.output.find(word), std::string::npos) << c.name << ": " << quiet.output;
    }
  }
  if (!TheTarget().wine) {
    // Through a pipe as well as into a file.
    // Bounded: a tarn that never ends would otherwise hold the read below for ever.
    const std::string command = "timeout -k 10 90 " + ShellQuoted(TARN_CLI) + " users get " +
                                host() + " " + File("piped.csv") +
                                " --user admin --password secret 2>&1 | cat";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::string piped;
    char buffer[256];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe.get())) piped.append(buffer, n);
    EXPECT_EQ(piped, "");
  }
}

TEST_F(CliTest, NoTerminalAndNoPasswordMeansTheEmptyPassword) {
  const CliRun run = Tarn("digest --user u");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "130bf325a404ba0d0d97d2d5bb8de230\n");  // MD5 of "u:qm4vr7:"
}

}  // namespace
}  // namespace tarn::host
