// Port discovery on the Win32 registry under Wine: each case writes its values with Wine's
// reg tool into the test prefix, runs the whole discovery in the probe and removes the keys
// again. The keys are the system's fixed ones, so these cases hold a resource lock.
#include <cstdlib>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "wine_probe.h"

namespace tarn::iccr {
namespace {

using wine::Probe;
using wine::RegAdd;
using wine::RegDelete;
using wine::RegKeyExists;
using wine::RunProbe;

const std::string kSystem = "HKLM\\SYSTEM\\CurrentControlSet\\";
const std::string kPorts = kSystem + "Enum\\Root\\PORTS";
const std::string kService = kSystem + "services\\PCD_SERV";
const std::string kServiceOld = kSystem + "Services\\PCD_SER2";
// Device instances of the cases live below an enumerator of their own.
const std::string kInstances = kSystem + "Enum\\TARNTEST";
const std::string kInstance = "TARNTEST\\VID_1234&PID_5678\\5&2b&0&1";
// Every key the cases write, removed after each case.
const std::vector<std::string> kCaseKeys = {kPorts, kService, kServiceOld, kInstances};

struct RegValue {
  std::string key;
  std::string name;  // empty: the key alone
  std::string type;
  std::string data;
};
using Registry = std::vector<RegValue>;

Registry operator+(Registry a, const Registry& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Registry Port(const std::string& key, const std::string& friendly) {
  return {{kPorts + "\\" + key, "FriendlyName", "REG_SZ", friendly}};
}
Registry Reader(const std::string& key, const std::string& tail) {
  return Port(key, "DENSO WAVE Active USB-COM Port " + tail);
}
Registry Count(const std::string& service, unsigned count) {
  return {{service + "\\Enum", "Count", "REG_DWORD", std::to_string(count)}};
}
Registry First(const std::string& service, const std::string& instance) {
  return {{service + "\\Enum", "0", "REG_SZ", instance}};
}
Registry Device(const std::string& instance, const std::string& name, const std::string& value) {
  return {{kSystem + "Enum\\" + instance + "\\Device Parameters", name, "REG_SZ", value}};
}

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

struct DiscoveryCase {
  const char* what;
  Registry registry;
  int code;
  std::string port;  // "<unchanged>" when the port name must not be written
};

const char* const kUnchanged = "<unchanged>";

std::vector<DiscoveryCase> DiscoveryCases() {
  const std::string longTail(300, 'x');
  const std::string hugeTail(9000, 'x');
  const Registry listsDevice = Count(kService, 1) + First(kService, kInstance);
  return {
      {"connected reader", Reader("0000", "(COM3) Connected"), 1, "COM3"},
      {"reader without Connected, no service", Reader("0000", "(COM3)"), 0, kUnchanged},
      {"reader without Connected, service lists a device",
       Reader("0000", "(COM3)") + listsDevice + Device(kInstance, "PortName", "COM7"), 1, "COM7"},
      {"no ports and no service", {}, -70, kUnchanged},
      {"ports key without subkeys", {{kPorts, "", "", ""}}, -70, kUnchanged},
      {"other port after the reader's unconnected one",
       Reader("0000", "(COM3)") + Port("0001", "Communications Port (COM1)"), -71, kUnchanged},
      {"port without FriendlyName", {{kPorts + "\\0000", "Other", "REG_SZ", "x"}}, -71, kUnchanged},
      {"FriendlyName is a number",
       {{kPorts + "\\0000", "FriendlyName", "REG_DWORD", "3"}},
       -71,
       kUnchanged},
      {"reader's connected port stops the walk",
       Port("0000", "Communications Port (COM1)") + Reader("0001", "(COM4) Connected") +
           Port("0002", "Communications Port (COM2)"),
       1, "COM4"},
      {"marker is case-sensitive", Port("0000", "denso wave active usb-com port (COM3) Connected"),
       -71, kUnchanged},
      {"no opening bracket", Reader("0000", "COM3) Connected"), -72, kUnchanged},
      {"no closing bracket", Reader("0000", "(COM3 Connected"), -72, kUnchanged},
      {"closing bracket before the last opening one", Reader("0000", ")COM3( Connected"), 1, ""},
      {"last brackets win", Reader("0000", "(x) (COM8) Connected"), 1, "COM8"},
      {"name longer than 255 bytes", Reader("0000", longTail + " (COM9) Connected"), 1, "COM9"},
      {"name longer than 8191 bytes", Reader("0000", hugeTail + " (COM9) Connected"), -71,
       kUnchanged},
      {"service lists devices but no value 0", Count(kService, 1), -22, kUnchanged},
      {"service value 0 is a number",
       Count(kService, 1) + Registry{{kService + "\\Enum", "0", "REG_DWORD", "1"}}, -22,
       kUnchanged},
      {"device instance without Device Parameters",
       Count(kService, 1) + First(kService, "TARNTEST\\NOPE\\1"), -30, kUnchanged},
      {"Device Parameters without PortName", listsDevice + Device(kInstance, "Other", "COM7"), -32,
       kUnchanged},
      {"service error wins over the ports' code", Reader("0000", "(COM3)") + Count(kService, 1),
       -22, kUnchanged},
      {"Count 0 gives way to the ports' code", Reader("0000", "(COM3)") + Count(kService, 0), 0,
       kUnchanged},
      {"Count 0 with no ports", Count(kService, 0), -70, kUnchanged},
      {"service without Count gives way", First(kService, kInstance), -70, kUnchanged},
      {"Count as text gives way",
       Reader("0000", "(COM3)") + Registry{{kService + "\\Enum", "Count", "REG_SZ", "1"}}, 0,
       kUnchanged},
      {"Count above 1 uses value 0 only",
       Count(kService, 2) + Registry{{kService + "\\Enum", "1", "REG_SZ", "TARNTEST\\B\\1"}} +
           First(kService, "TARNTEST\\A\\1") + Device("TARNTEST\\A\\1", "PortName", "COM4") +
           Device("TARNTEST\\B\\1", "PortName", "COM5"),
       1, "COM4"},
      {"long PortName through the second query",
       listsDevice + Device(kInstance, "PortName", longTail), 1, longTail},
      {"service of earlier systems is not read on this one",
       Count(kServiceOld, 1) + First(kServiceOld, kInstance) +
           Device(kInstance, "PortName", "COM7"),
       -70, kUnchanged},
  };
}

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
