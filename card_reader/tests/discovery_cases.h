// The port-discovery cases, one table for the registry file on Linux and the Win32 registry
// under Wine: each case is a list of registry values, written the way its target takes them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace tarn::iccr::discovery {

const std::string kSystem = "HKLM\\SYSTEM\\CurrentControlSet\\";
const std::string kPorts = kSystem + "Enum\\Root\\PORTS";
const std::string kService = kSystem + "services\\PCD_SERV";
const std::string kServiceOld = kSystem + "Services\\PCD_SER2";
// Device instances of the cases live below an enumerator of their own.
const std::string kInstances = kSystem + "Enum\\TARNTEST";
const std::string kInstance = "TARNTEST\\VID_1234&PID_5678\\5&2b&0&1";
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

// The values as a registry-export text (without its header line), for the registry file.
inline std::string RegFileText(const Registry& registry) {
  std::string text;
  std::string section;
  for (const auto& v : registry) {
    std::string key = v.key;
    if (key.compare(0, 5, "HKLM\\") == 0) key = "HKEY_LOCAL_MACHINE\\" + key.substr(5);
    if (key != section) {
      text += "[" + key + "]\n";
      section = key;
    }
    if (v.name.empty()) continue;
    if (v.type == "REG_DWORD") {
      char number[16];
      std::snprintf(number, sizeof number, "%08lx", std::stoul(v.data));
      text += "\"" + v.name + "\"=dword:" + number + "\n";
    } else {
      std::string data;
      for (char c : v.data) {
        if (c == '\\' || c == '"') data.push_back('\\');
        data.push_back(c);
      }
      text += "\"" + v.name + "\"=\"" + data + "\"\n";
    }
  }
  return text;
}

}  // namespace tarn::iccr::discovery
