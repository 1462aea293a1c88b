// Port discovery on the Win32 registry under Wine: each case writes its values with Wine's
// reg tool into the test prefix, runs the whole discovery in the probe and removes the keys
// again. The keys are the system's fixed ones, so these cases hold a resource lock.
#include <cstdlib>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "discovery_cases.h"
#include "wine_probe.h"

namespace tarn::iccr {
namespace {

using wine::Probe;
using wine::RegAdd;
using wine::RegDelete;
using wine::RegKeyExists;
using wine::RunProbe;
using namespace discovery;

// Every key the cases write, removed after each case.
const std::vector<std::string> kCaseKeys = {kPorts, kService, kServiceOld, kInstances};

void Write(const Registry& registry) {
  for (const auto& v : registry) {
    if (v.name.empty()) {
      ASSERT_EQ(wine::Reg({"add", v.key, "/f"}), 0) << v.key;
    } else {
      RegAdd(v.key, v.name, v.type, v.data);
    }
  }
}

// Removes the keys a case wrote, also when it fails half-way.
class CaseKeys {
 public:
  ~CaseKeys() {
    for (const auto& key : kCaseKeys) RegDelete(key);
  }
};

// "1 [COM3]" -> code 1, port "COM3".
void ExpectDiscovery(const Probe& probe, int code, const std::string& port) {
  const std::string line = probe.Value("discover");
  const size_t open = line.find(" [");
  ASSERT_NE(open, std::string::npos) << probe.Transcript();
  ASSERT_EQ(line.back(), ']') << probe.Transcript();
  EXPECT_EQ(std::atoi(line.substr(0, open).c_str()), code);
  EXPECT_EQ(line.substr(open + 2, line.size() - open - 3), port);
}

class PortDiscoveryWin32 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!wine::MissingSetup().empty()) GTEST_SKIP() << wine::MissingSetup();
    // A fresh prefix has none of them; one left over would be taken for a case's own.
    for (const auto& key : kCaseKeys) ASSERT_FALSE(RegKeyExists(key)) << key;
  }
};

TEST_F(PortDiscoveryWin32, DiscoveryYieldsCodeAndPortName) {
  for (const auto& c : DiscoveryCases()) {
    SCOPED_TRACE(c.what);
    CaseKeys keys;
    Write(c.registry);
    const Probe probe = RunProbe({"discover"});
    EXPECT_EQ(probe.Value("nt6"), "1");
    ExpectDiscovery(probe, c.code, c.port);
  }
}

// The same probe under another name, for which the prefix reports an NT 5 system: the
// device list of the earlier reader service counts, that of the later one not.
TEST_F(PortDiscoveryWin32, EarlierSystemsReadTheEarlierService) {
  char pattern[] = "/tmp/tarn-old-windows-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string program = dir + "/iccr_old_windows_probe.exe";
  ASSERT_EQ(wine::RunBounded({"/bin/cp", wine::ProbePath(), program}, std::chrono::seconds(30)), 0);
  const std::string defaults = "HKCU\\Software\\Wine\\AppDefaults\\iccr_old_windows_probe.exe";
  struct Cleanup {
    std::string dir, program, defaults;
    ~Cleanup() {
      RegDelete(defaults);
      unlink(program.c_str());
      rmdir(dir.c_str());
    }
  } cleanup{dir, program, defaults};
  RegAdd(defaults, "Version", "REG_SZ", "winxp64");

  struct Case {
    const char* what;
    Registry registry;
    int code;
    std::string port;
  };
  const std::vector<Case> cases = {
      {"earlier service lists a device",
       Count(kServiceOld, 1) + First(kServiceOld, kInstance) +
           Device(kInstance, "PortName", "COM7"),
       1, "COM7"},
      {"later service is not read",
       Count(kService, 1) + First(kService, kInstance) + Device(kInstance, "PortName", "COM7"), -70,
       kUnchanged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CaseKeys keys;
    Write(c.registry);
    Probe probe({"discover"}, program);
    ASSERT_TRUE(probe.Finish()) << probe.Transcript();
    EXPECT_EQ(probe.Value("nt6"), "0");
    ExpectDiscovery(probe, c.code, c.port);
  }
}

// The key object's string query around its first buffer of 256 bytes, and values of the
// wrong type, on a key of the tests' own.
TEST(RegistryWin32, QueriesAroundTheBufferSizesAndRefusesOtherTypes) {
  TARN_REQUIRE_WINE();
  const std::string key = "HKLM\\SOFTWARE\\TarnIccrWineTest";
  const std::string path = "SOFTWARE\\TarnIccrWineTest\\";
  struct Cleanup {
    std::string key;
    ~Cleanup() { RegDelete(key); }
  } cleanup{key};
  struct Case {
    const char* what;
    std::string type;
    std::string data;
    std::string query;  // status, length and the first 40 characters
    std::string dword;  // status of the number query
  };
  const auto text = [](size_t n) { return std::string(n, 'v'); };
  const std::vector<Case> cases = {
      {"255 bytes fit the first query", "REG_SZ", text(255), "0 255 " + text(40), "13"},
      {"256 bytes go to the second", "REG_SZ", text(256), "0 256 " + text(40), "13"},
      {"8191 bytes fit the second", "REG_SZ", text(8191), "0 8191 " + text(40), "13"},
      {"8192 bytes fit neither", "REG_SZ", text(8192), "234 11 <unchanged>", "13"},
      {"an expandable text is text", "REG_EXPAND_SZ", "%TEMP%\\x", "0 8 %TEMP%\\x", "13"},
      {"a number is no text", "REG_DWORD", "10", "13 11 <unchanged>", "0"},
      {"a list is no text", "REG_MULTI_SZ", "a\\0b", "13 11 <unchanged>", "13"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RegAdd(key, "V", c.type, c.data);
    const Probe probe = RunProbe({"query", path, "V"});
    EXPECT_EQ(probe.Value("opened"), "0") << probe.Transcript();
    EXPECT_EQ(probe.Value("query"), c.query);
    EXPECT_EQ(probe.Value("dword"), c.dword);
  }
}

TEST(RegistryWin32, SubkeysListByIndexAndReportANameThatDoesNotFit) {
  TARN_REQUIRE_WINE();
  const std::string key = "HKLM\\SOFTWARE\\TarnIccrWineSubkeys";
  struct Cleanup {
    std::string key;
    ~Cleanup() { RegDelete(key); }
  } cleanup{key};
  for (const char* sub : {"Alpha", "Beta", "Gamma"}) {
    ASSERT_EQ(wine::Reg({"add", key + "\\" + sub, "/f"}), 0);
  }
  const Probe probe = RunProbe({"subkeys", "SOFTWARE\\TarnIccrWineSubkeys\\"});
  EXPECT_EQ(probe.Value("opened"), "0") << probe.Transcript();
  EXPECT_EQ(probe.Values("subkey"),
            (std::vector<std::string>{"0 Alpha 5", "1 Beta 4", "2 Gamma 5"}));
  EXPECT_EQ(probe.Value("enum-end"), "3 259");  // ERROR_NO_MORE_ITEMS
  EXPECT_EQ(probe.Value("small"), "234");       // ERROR_MORE_DATA

  const Probe missing = RunProbe({"subkeys", "SOFTWARE\\TarnIccrWineNoSuchKey\\"});
  EXPECT_EQ(missing.Value("opened"), "2");  // ERROR_FILE_NOT_FOUND
}

}  // namespace
}  // namespace tarn::iccr
