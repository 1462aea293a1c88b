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
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "appliance_sim.h"

namespace tarn::host {
namespace {

struct CliRun {
  int status = -1;
  std::string output;  // standard output and error together
};

// Runs `tarn ARGS` through the shell in a session of its own, so it has no terminal to prompt
// on, whatever terminal the tests run from.
CliRun Tarn(const std::string& args) {
  CliRun run;
  const std::string command =
      "setsid -w " + std::string(TARN_CLI) + " " + args + " </dev/null 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

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
  // The simulator doubles as the proxy; the address behind it is closed.
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
  run = Tarn("utf8-count 'h\xc3\xa9'");
  EXPECT_EQ(run.output, "4\n");
  run = Tarn("--help");
  EXPECT_EQ(run.status, 0);
  for (const char* command : {"status", "joblog", "users", "proxy", "digest", "card"}) {
    EXPECT_NE(run.output.find(command), std::string::npos) << command;
  }
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

// tarn started on a pseudo-terminal of its own, as a person at a terminal runs it.
class TerminalRun {
 public:
  explicit TerminalRun(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {TARN_CLI};
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (output_.find(text) == std::string::npos) {
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
  void Type(const std::string& text) { (void)!write(master_, text.data(), text.size()); }
  bool Echoes() const {
    termios t{};
    tcgetattr(slave_, &t);
    return (t.c_lflag & ECHO) != 0;
  }
  // The raw wait status, or -1 when the process does not end within a few seconds.
  int Wait() {
    for (int i = 0; i < 100; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }
  const std::string& output() const { return output_; }

 private:
  int master_ = -1;
  int slave_ = -1;  // kept open so the terminal's settings stay readable after tarn ends
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::string output_;
};

TEST_F(CliTest, PasswordIsAskedWithoutEcho) {
  TerminalRun run({"digest", "--user", "u"});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.WaitFor("Password for u: ")) << run.output();
  EXPECT_FALSE(run.Echoes());
  run.Type("secret\n");
  ASSERT_TRUE(run.WaitFor("34806e6465789f5017cbbfda76de1f15"))  // MD5 of "u:qm4vr7:secret"
      << run.output();
  const int status = run.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(run.output().find("secret"), std::string::npos) << run.output();
  EXPECT_TRUE(run.Echoes());
}

TEST_F(CliTest, InterruptedPromptGivesTheEchoBack) {
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

TEST_F(CliTest, NoTerminalAndNoPasswordMeansTheEmptyPassword) {
  const CliRun run = Tarn("digest --user u");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "130bf325a404ba0d0d97d2d5bb8de230\n");  // MD5 of "u:qm4vr7:"
}

}  // namespace
}  // namespace tarn::host
