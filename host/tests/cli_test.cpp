#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "appliance_sim.h"

namespace tarn::host {
namespace {

struct CliRun {
  int status = -1;
  std::string output;  // standard output and error together
};

// Runs `tarn ARGS` through the shell with no terminal for a password prompt.
CliRun Tarn(const std::string& args) {
  CliRun run;
  const std::string command = std::string(TARN_CLI) + " " + args + " </dev/null 2>&1";
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
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(name);
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
  CliRun run = Tarn("status " + host());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "1\n");
  sim_->Configure({{"responses", {{"/script/_userlogin/zc_auth.shp", {{"status", 404}}}}}});
  run = Tarn("status " + host());
  EXPECT_EQ(run.status, 98);
  EXPECT_EQ(run.output, "tarn: 404 Not Found\n");
  run = Tarn("--direct status 127.0.0.1:1");
  EXPECT_EQ(run.status, 99);
  EXPECT_NE(run.output.find("tarn: "), std::string::npos);
}

TEST_F(CliTest, JobLogWithPasswordFromOptionOrEnvironment) {
  CliRun run =
      Tarn("joblog " + host() + " " + File("log.txt") + " --user logger --password logpass");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_FALSE(Slurp(File("log.txt")).empty());
  setenv("TARN_PASSWORD", "wrong", 1);
  run = Tarn("joblog " + host() + " " + File("log.txt") + " --user logger");
  EXPECT_EQ(run.status, 91);
  EXPECT_EQ(run.output, "tarn: the appliance refused the sign-in.\n");
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

}  // namespace
}  // namespace tarn::host
