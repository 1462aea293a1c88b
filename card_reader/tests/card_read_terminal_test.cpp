// The dialog on a real terminal: a host program runs inside a detached tmux session on its own
// socket; the screen is read with capture-pane and keys are sent with send-keys.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "reader_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Shell(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
  }
  return output;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

struct TerminalCase {
  const char* name;
  const char* title;
  const char* shown_title;
  const char* key;  // tmux key name that cancels
};

void PrintTo(const TerminalCase& c, std::ostream* os) {
  *os << c.name;
}

class TerminalDialog : public testing::TestWithParam<TerminalCase> {
 protected:
  void SetUp() override {
    if (system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
    char pattern[] = "/tmp/tarn-tty-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    tmux_ = "LC_ALL=C.UTF-8 tmux -u -L tarn-dialog-" + std::to_string(getpid()) + " ";
  }
  void TearDown() override {
    if (!tmux_.empty()) Shell(tmux_ + "kill-server 2>/dev/null");
    if (!dir_.empty()) Shell("rm -rf " + Quote(dir_));
  }

  std::string Screen() { return Shell(tmux_ + "capture-pane -p -t dialog 2>/dev/null"); }

  std::string dir_;
  std::string tmux_;
};

TEST_P(TerminalDialog, ShowsTitlePromptAndCountdownAndCancelsByKey) {
  const TerminalCase& c = GetParam();
  tarn::test::ReaderSim sim;
  const std::string registry = dir_ + "/registry.reg";
  std::ofstream(registry, std::ios::binary)
      << "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000]\r\n"
         "\"FriendlyName\"=\"DENSO WAVE Active USB-COM Port ("
      << sim.device() << ") Connected\"\r\n";
  const std::string script = dir_ + "/run.sh";
  std::ofstream(script) << "cd " << Quote(dir_) << "\n"
                        << "stty -g > before\n"
                        << "env -u TARN_DIALOG TARN_REGISTRY_FILE=" << Quote(registry) << " "
                        << Quote(TARN_CARD_PROBE) << " " << Quote(c.title) << " > result 2>&1\n"
                        << "stty -g > after\n"
                        << "touch finished\n"
                        << "sleep 30\n";
  ASSERT_EQ(system((tmux_ + "new-session -d -s dialog -x 100 -y 24 sh " + Quote(script)).c_str()),
            0);

  // The dialog shows once the reader is ready; wait for the first tick of its countdown.
  std::string screen;
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  while (Clock::now() < deadline) {
    screen = Screen();
    if (screen.find("9[s]") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_NE(screen.find(c.shown_title), std::string::npos) << screen;
  EXPECT_NE(screen.find("10秒以内にカードをタッチしてください"), std::string::npos) << screen;
  EXPECT_NE(screen.find("9[s]"), std::string::npos) << screen;
  if (std::string(c.title).empty()) {
    EXPECT_EQ(screen.find("IcCardReader"), screen.rfind("IcCardReader")) << screen;
  }

  Shell(tmux_ + "send-keys -t dialog " + c.key);
  const auto end_deadline = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < end_deadline && access((dir_ + "/finished").c_str(), F_OK) != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(access((dir_ + "/finished").c_str(), F_OK), 0) << "the key did not end the dialog\n"
                                                           << Screen();
  EXPECT_EQ(ReadFile(dir_ + "/result"), "result=0 out=[]\n");
  EXPECT_EQ(ReadFile(dir_ + "/before"), ReadFile(dir_ + "/after"))
      << "terminal settings not restored";
}

INSTANTIATE_TEST_SUITE_P(
    Terminal, TerminalDialog,
    testing::Values(TerminalCase{"EmptyTitleQ", "", "IcCardReader", "q"},
                    TerminalCase{"GivenTitleEsc", "Badge 読取 (2)", "Badge 読取 (2)", "Escape"}),
    [](const testing::TestParamInfo<TerminalCase>& param_info) { return param_info.param.name; });

}  // namespace
