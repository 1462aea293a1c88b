// Fixtures of the export tests, which run unchanged against libTarnWebCom.so and, with
// TARN_TEST_TARGET=wine, against TarnWebCom.dll under Wine: one target and one appliance
// simulator per test suite, TEMP pointing at a fresh folder for each test, no proxy.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "appliance_sim.h"
#include "web_target.h"

namespace tarn::web::testing {

using tarn::test::Utf16;
using tarn::test::Utf8;

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// The target alone, for the exports that need no appliance.
class TargetTest : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    // Before the target starts: Wine's WinINet takes its proxy from the environment it starts
    // with.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
    target_ = tarn::test::CreateWebTarget();
  }
  static void TearDownTestSuite() { target_.reset(); }

 protected:
  static std::unique_ptr<tarn::test::WebTarget> target_;
};

inline std::unique_ptr<tarn::test::WebTarget> TargetTest::target_;

// The target beside an appliance simulator on 127.0.0.1.
class ExportTest : public TargetTest {
 public:
  static void SetUpTestSuite() {
    // Taken before TEMP is pointed at the test folders, which come and go.
    if (base_.empty()) base_ = std::filesystem::temp_directory_path();
    TargetTest::SetUpTestSuite();
    sim_ = std::make_unique<tarn::test::ApplianceSim>();
  }
  static void TearDownTestSuite() {
    sim_.reset();
    TargetTest::TearDownTestSuite();
  }

 protected:
  void SetUp() override {
    std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(test.begin(), test.end(), '/', '_');
    dir_ = base_ / ("tarn-export-" + std::to_string(::getpid()) + "-" + test);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    target_->SetEnv("TEMP", target_->Path(dir_));
    sim_->Reset();
    target_->SetProxySetting(1);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    target_->SetEnv("TEMP", std::nullopt);
  }

  std::string host() const { return sim_->host(); }
  std::u16string whost() const { return Utf16(sim_->host()); }
  // A local file as the target names it.
  std::u16string Local(const std::filesystem::path& path) const { return target_->Path(path); }
  std::filesystem::path dump() const { return dir_ / "htmlDump.htm"; }

  static std::unique_ptr<tarn::test::ApplianceSim> sim_;
  static std::filesystem::path base_;
  std::filesystem::path dir_;
};

inline std::unique_ptr<tarn::test::ApplianceSim> ExportTest::sim_;
inline std::filesystem::path ExportTest::base_;

// A message buffer pre-filled with a marker, to see whether an export wrote it.
struct MessageBuffer {
  MessageBuffer() { std::fill(std::begin(units), std::end(units), u'#'); }
  bool untouched() const {
    for (auto u : units)
      if (u != u'#') return false;
    return true;
  }
  std::u16string text() const {
    size_t n = 0;
    while (n < 256 && units[n] != 0) ++n;
    return std::u16string(units, n);
  }
  TARN_WCHAR units[256];
};

}  // namespace tarn::web::testing
