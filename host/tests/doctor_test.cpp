// tarn doctor as a person runs it: against the appliance simulator, and against the reader
// simulator behind the registry (a registry file on Linux, Wine's registry and a COM link under
// Wine). Each case's sentences and exit status.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "appliance_sim.h"
#include "card_target.h"
#include "cli_run.h"
#include "reader_sim.h"

namespace tarn::host {
namespace {

constexpr const char* kPortsKey = "SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000";
// What a machine that lets a user reach neither locked nor foreign devices looks like, for a
// root test run: no overriding file rights, no overriding a terminal's exclusive mode.
constexpr const char* kUnprivileged =
    "setpriv --bounding-set -sys_admin,-dac_override,-dac_read_search";

// Sets an environment variable for as long as it lives.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    if (old != nullptr) previous_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (previous_) {
      setenv(name_, previous_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

// Under Wine the Wine server opens the devices, so there it is the server that must run
// without the privileges: a prefix of its own, made and served under the wrapper.
class UnprivilegedWinePrefix {
 public:
  explicit UnprivilegedWinePrefix(std::string dir) : dir_(std::move(dir)) {
    if (Script("") != 0) throw std::runtime_error("no unprivileged Wine prefix in " + dir_);
  }
  ~UnprivilegedWinePrefix() { Script(" --stop"); }
  UnprivilegedWinePrefix(const UnprivilegedWinePrefix&) = delete;
  UnprivilegedWinePrefix& operator=(const UnprivilegedWinePrefix&) = delete;
  const std::string& dir() const { return dir_; }

 private:
  int Script(const std::string& option) const {
    const std::string command = std::string("timeout -k 10 240 ") + kUnprivileged + " bash " +
                                test::SourceDir() + "/scripts/wine-prefix.sh " + dir_ + option +
                                " </dev/null >" + dir_ + ".log 2>&1";
    return std::system(command.c_str());
  }
  std::string dir_;
};

// Every pattern must be found in the output.
void ExpectSentences(const CliRun& run, const std::vector<std::string>& patterns,
                     const std::string& name) {
  for (const auto& pattern : patterns) {
    EXPECT_TRUE(std::regex_search(run.output, std::regex(pattern)))
        << name << ": no match for " << pattern << " in:\n"
        << run.output;
  }
}

class DoctorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
    if (TheTarget().wine) setenv("LC_ALL", "C.UTF-8", 1);
    dir_ = std::filesystem::path("/tmp") / ("tarn-doctor-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
};

TEST_F(DoctorTest, ApplianceRoadStepByStep) {
  test::ApplianceSim sim;
  const std::string port = std::to_string(sim.port());
  struct Case {
    const char* name;
    nlohmann::json config;
    bool via_proxy;
    std::string host;  // empty: the simulator
    int status;
    std::vector<std::string> sentences;
  };
  const std::vector<Case> cases = {
      {"ready",
       {},
       false,
       "",
       0,
       {R"(Proxy: none; the requests go straight to the appliance\.)",
        R"(Name: 127\.0\.0\.1 resolves to 127\.0\.0\.1 \(\d+ ms\)\.)",
        R"(Connection: 127\.0\.0\.1 port )" + port + R"( accepts a connection \(\d+ ms\)\.)",
        R"(Status answer: 200 OK, mchiman=1: transfers sign in first \(\d+ ms\)\.)",
        R"(Login page: 200 OK with both hidden fields, authMD5in and authTime \(\d+ ms\)\.)",
        R"(The appliance answers as the web client needs\.)"}},
      {"login page without authTime",
       {{"login_page", {{"omit_auth_time", true}}}},
       false,
       "",
       13,
       {R"(Login page: 200 OK, but it lacks the hidden field authTime: the sign-in cannot )"
        R"(succeed \(\d+ ms\)\.)"}},
      {"no sign-in asked, no authTime",
       {{"mchiman", 0}, {"login_page", {{"omit_auth_time", true}}}},
       false,
       "",
       0,
       {R"(mchiman=0: transfers run without a sign-in)",
        R"(lacks the hidden field authTime; no sign-in is asked for, so transfers do not )"
        R"(need it)"}},
      {"status refused",
       {{"responses", {{"/script/_userlogin/zc_auth.shp", {{"status", 404}}}}}},
       false,
       "",
       12,
       {R"(Status answer: 404 Not Found instead of 200 OK \(\d+ ms\)\.)"}},
      {"login page refused",
       {{"responses", {{"/script/_userlogin/userlogin_zc.shp", {{"status", 500}}}}}},
       false,
       "",
       13,
       {R"(Login page: 500 Internal Server Error instead of 200 OK)"}},
      {"nothing listens",
       {},
       false,
       "127.0.0.1:1",
       11,
       {R"(Connection: 127\.0\.0\.1 port 1 does not accept a connection: .+ \(\d+ ms\)\.)"}},
      // The simulator doubles as the proxy; the address behind it is closed.
      {"through the proxy",
       {},
       true,
       "127.0.0.1:1",
       0,
       {R"(Proxy: .*127\.0\.0\.1:)" + port + R"( \(from .+\); the requests go through it\.)",
        R"(Connection: the proxy 127\.0\.0\.1 port )" + port + R"( accepts a connection)",
        R"(Status answer: 200 OK, mchiman=1)"}},
  };
  for (const auto& c : cases) {
    sim.Reset();
    if (!c.config.is_null()) sim.Configure(c.config);
    if (c.via_proxy) {
      setenv("http_proxy", ("http://" + sim.host()).c_str(), 1);
    } else {
      unsetenv("http_proxy");
    }
    const CliRun run = Tarn("doctor --host " + (c.host.empty() ? sim.host() : c.host));
    EXPECT_EQ(run.status, c.status) << c.name << ":\n" << run.output;
    ExpectSentences(run, c.sentences, c.name);
    // It signs in nowhere.
    EXPECT_TRUE(sim.RequestsTo("/cgi-bin/userlogin/login.cgi").empty()) << c.name;
  }
}

TEST_F(DoctorTest, CardReaderRoadStepByStep) {
  if (!TheTarget().card) GTEST_SKIP() << "this build has no card-reader library";
  const std::unique_ptr<test::CardSetup> setup = test::CreateCardSetup((dir_ / "card").string());
  enum class Port { kNone, kReader, kByService, kMissing, kBusy, kDenied };
  struct Case {
    const char* name;
    Port port;
    std::vector<std::string> sim_options;
    nlohmann::json fault;  // staged in the simulator before the run
    int status;
    std::vector<std::string> sentences;
    std::vector<std::string> linux_sentences;  // on Linux only
  };
  const std::vector<Case> cases = {
      {"nothing set up",
       Port::kNone,
       {},
       nullptr,
       20,
       {R"(Key SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\: missing\.)",
        R"(The walk over the ports gave -70: no port key could be examined\.)",
        R"(The walk through the reader service gave -20: the reader service has no device )"
        R"(list; the ports walk's code stands\.)",
        R"(No reader port was found \(code -70\))"},
       {R"(Registry: the registry file .+ \(named by TARN_REGISTRY_FILE\))"}},
      {"ready",
       Port::kReader,
       {},
       nullptr,
       0,
       {R"(FriendlyName: "DENSO WAVE Active USB-COM Port \(.+\) Connected")",
        R"(The walk over the ports gave 1: port found\.)", R"(Open: .+ opens\.)",
        R"(Set-up: the reader answers \(\d+ ms\)\.)",
        R"(Reader information: 44 45 4e 53 4f 2d 53 49 4d 2d 52 45 41 44 45 52 01 02 03 04 )"
        R"(\("DENSO-SIM-READER\.\.\.\."\))",
        R"(Security setting: secure messaging is off)",
        R"(Authentication: the reader accepts the library's keys)",
        R"(Secure messaging: not tried, since it is off and switching it on would change )"
        R"(the reader\.)",
        R"(The card reader is ready for card reads\.)"},
       {}},
      {"found through the reader service",
       Port::kByService,
       {},
       nullptr,
       0,
       {R"(The walk over the ports gave -70: no port key could be examined\.)",
        R"(Key SYSTEM\\CurrentControlSet\\services\\PCD_SERV\\Enum\\: opened\.)", R"(Count: "1")",
        R"(0: "TARNCARD\\0001")",
        R"(Key SYSTEM\\CurrentControlSet\\Enum\\TARNCARD\\0001\\Device Parameters\\: )"
        R"(opened\.)",
        R"(The walk through the reader service gave 1: port found\.)",
        R"(The card reader is ready for card reads\.)"},
       {}},
      {"secure messaging already on",
       Port::kReader,
       {"--secure-on"},
       nullptr,
       0,
       {R"(Security setting: secure messaging is on)",
        R"(Secure messaging: a wrapped frame and its answer pass both checks)"},
       {}},
      {"port missing",
       Port::kMissing,
       {},
       nullptr,
       21,
       {R"(Open: .+ is missing \(.+\)\. Plug the reader in, or check the port the registry )"
        R"(names\.)"},
       {}},
      {"port busy",
       Port::kBusy,
       {},
       nullptr,
       22,
       {R"(Open: .+ is busy: another program holds it)"},
       {R"(It is held by process \d+ \(python3\): end that program\.)"}},
      {"no rights to the port",
       Port::kDenied,
       {},
       nullptr,
       23,
       {R"(Open: permission denied for )"},
       // The group and the user are filled in below.
       {R"(The device belongs to the group GROUP; join it with "sudo usermod -aG GROUP USER" )"
        R"(and log in again\.)"}},
      {"silent reader",
       Port::kReader,
       {"--silent"},
       nullptr,
       25,
       {R"(Set-up: no reply within 3 s: the reader does not answer)"},
       {}},
      {"reader refuses set-up",
       Port::kReader,
       {},
       {{"cmd", "fault"}, {"mode", "status"}, {"sw", "6a82"}, {"ins", 1}},
       26,
       {R"(Set-up: the reader refuses the set-up command \(error 6A 82\))"},
       {}},
      {"reader with other keys",
       Port::kReader,
       {"--keys", "0102030405060708,1112131415161718,2122232425262728"},
       nullptr,
       27,
       {R"(Authentication: the reader refuses: it holds other keys than the library )"
        R"(\(error 63 00\))"},
       {}},
  };
  // Root is refused nothing unless its privileges go; anyone else is refused as they are.
  const bool root = geteuid() == 0;
  const passwd* me = getpwuid(geteuid());
  ASSERT_NE(me, nullptr);
  std::optional<UnprivilegedWinePrefix> unprivileged_prefix;
  for (const auto& c : cases) {
    const bool unprivileged = root && (c.port == Port::kBusy || c.port == Port::kDenied);
    std::optional<ScopedEnv> prefix;
    std::unique_ptr<test::CardSetup> own_setup;
    if (unprivileged && TheTarget().wine) {
      if (!unprivileged_prefix) unprivileged_prefix.emplace((dir_ / "unprivileged").string());
      prefix.emplace("WINEPREFIX", unprivileged_prefix->dir());
      own_setup = test::CreateCardSetup((dir_ / "unprivileged-card").string());
    }
    test::CardSetup& place = own_setup ? *own_setup : *setup;
    std::optional<test::ReaderSim> reader;
    std::optional<test::SimProcess> holder;
    std::string port;
    if (c.port == Port::kMissing) {
      port = place.AttachReader((dir_ / "no-such-device").string(), 5);
    } else if (c.port != Port::kNone) {
      reader.emplace(c.sim_options);
      if (!c.fault.is_null()) reader->Command(c.fault);
      port = place.AttachReader(reader->device(), 5);
    }
    if (c.port == Port::kBusy) {
      // Held as a terminal program holds its line: exclusive mode and a lock.
      holder.emplace(std::vector<std::string>{test::PythonPath(), "-c",
                                              "import fcntl, os, sys, termios\n"
                                              "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
                                              "fcntl.ioctl(fd, termios.TIOCEXCL)\n"
                                              "fcntl.flock(fd, fcntl.LOCK_EX)\n"
                                              "print('held', flush=True)\n"
                                              "sys.stdin.read()\n",
                                              reader->device()});
    }
    std::vector<std::string> linux_sentences = c.linux_sentences;
    if (c.port == Port::kDenied) {
      // As a serial port comes: owned by root (here: another user) and the group dialout.
      if (root) {
        const passwd* nobody = getpwnam("nobody");
        const group* dialout = getgrnam("dialout");
        ASSERT_TRUE(nobody != nullptr && dialout != nullptr);
        ASSERT_EQ(chown(reader->device().c_str(), nobody->pw_uid, dialout->gr_gid), 0);
      }
      ASSERT_EQ(chmod(reader->device().c_str(), root ? 0660 : 0), 0);
      struct stat st {};
      ASSERT_EQ(stat(reader->device().c_str(), &st), 0);
      const group* owner = getgrgid(st.st_gid);
      ASSERT_NE(owner, nullptr);
      for (auto& sentence : linux_sentences) {
        sentence = std::regex_replace(sentence, std::regex("GROUP"), owner->gr_name);
        sentence = std::regex_replace(sentence, std::regex("USER"), me->pw_name);
      }
    }
    test::Registry registry;
    if (c.port == Port::kByService) {
      const std::string instance = std::string(test::kCardTestEnumerator) + "\\0001";
      registry = {
          {"SYSTEM\\CurrentControlSet\\services\\PCD_SERV\\Enum", "Count", "REG_DWORD", "1"},
          {"SYSTEM\\CurrentControlSet\\services\\PCD_SERV\\Enum", "0", "REG_SZ", "TARNCARD\\0001"},
          {instance + "\\Device Parameters", "PortName", "REG_SZ", port},
      };
    } else if (!port.empty()) {
      registry.push_back({kPortsKey, "FriendlyName", "REG_SZ",
                          "DENSO WAVE Active USB-COM Port (" + port + ") Connected"});
    }
    place.WriteRegistry(registry);
    const CliRun run = Tarn("doctor --card", unprivileged ? kUnprivileged : "");
    EXPECT_EQ(run.status, c.status) << c.name << ":\n" << run.output;
    ExpectSentences(run, c.sentences, c.name);
    if (!TheTarget().wine) ExpectSentences(run, linux_sentences, c.name);
  }
}

TEST_F(DoctorTest, BothRoadsOrNeither) {
  test::ApplianceSim sim;
  const std::unique_ptr<test::CardSetup> setup = test::CreateCardSetup((dir_ / "card").string());
  setup->WriteRegistry({});
  // The appliance works, the reader is not there: the reader's failure decides.
  CliRun run = Tarn("doctor --host " + sim.host() + " --card");
  EXPECT_EQ(run.status, TheTarget().card ? 20 : 0) << run.output;
  ExpectSentences(run, {R"(The appliance answers as the web client needs\.)"}, "both");
  run = Tarn("doctor");
  EXPECT_NE(run.status, 0) << run.output;
  ExpectSentences(run, {R"(--host or --card)"}, "neither");
}

}  // namespace
}  // namespace tarn::host
