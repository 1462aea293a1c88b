// Shared fixture of the web client's tests against the appliance simulator: one simulator
// per test suite, reset before each test, TEMP pointing at a fresh folder, no proxy.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "appliance_sim.h"
#include "tarn/tarn_web_com.h"

namespace tarn::web::testing {

inline std::u16string U16(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

class WebTest : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    // Taken before TEMP is pointed at the test folders, which come and go.
    if (base_.empty()) base_ = std::filesystem::temp_directory_path();
    sim_ = std::make_unique<tarn::test::ApplianceSim>();
  }
  static void TearDownTestSuite() { sim_.reset(); }

 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
    dir_ = base_ / ("tarn-web-" + std::to_string(::getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    setenv("TEMP", dir_.c_str(), 1);
    sim_->Reset();
    SetProxySetting(1);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    unsetenv("TEMP");
  }

  std::string host() const { return sim_->host(); }
  std::u16string whost() const { return U16(sim_->host()); }
  std::filesystem::path dump() const { return dir_ / "htmlDump.htm"; }

  static std::unique_ptr<tarn::test::ApplianceSim> sim_;
  static std::filesystem::path base_;
  std::filesystem::path dir_;
};

inline std::unique_ptr<tarn::test::ApplianceSim> WebTest::sim_;
inline std::filesystem::path WebTest::base_;

}  // namespace tarn::web::testing
