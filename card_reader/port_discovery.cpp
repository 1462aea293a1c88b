#include "port_discovery.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tarn::iccr {
namespace {

constexpr const char* kPortsPath = "SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\";
constexpr const char* kServicePathNt6 = "SYSTEM\\CurrentControlSet\\services\\PCD_SERV\\Enum\\";
constexpr const char* kServicePathOld = "SYSTEM\\CurrentControlSet\\Services\\PCD_SER2\\Enum\\";
constexpr const char* kInstancesPath = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr const char* kDeviceParameters = "\\Device Parameters\\";
constexpr const char* kFriendlyName = "FriendlyName";
constexpr const char* kReaderMarker = "DENSO WAVE Active USB-COM Port";
constexpr const char* kConnectedMarker = "Connected";
constexpr const char* kCount = "Count";
constexpr const char* kFirstInstance = "0";
constexpr const char* kPortName = "PortName";

constexpr unsigned long kFirstQueryBytes = 256;
constexpr unsigned long kSecondQueryBytes = 8192;
constexpr unsigned long kEnumNameChars = 256;

long QueryInto(const RegistryKey* key, const char* name, unsigned long bytes, std::string& value) {
  std::vector<char> buffer(bytes, '\0');
  unsigned long size = bytes;
  const long status = RegistryQueryString(key, name, buffer.data(), &size);
  if (status == kRegSuccess) {
    // A stored text need not carry its terminator: take no more than was returned.
    const size_t limit = size < bytes ? size : bytes;
    value.assign(buffer.data(), strnlen(buffer.data(), limit));
  }
  return status;
}

}  // namespace

long RegKey::Open(const char* sub) {
  RegistryKeyHandle opened;
  const std::string path = m_strPath + (sub != nullptr ? sub : "");
  const long status = RegistryOpenKey(m_hRoot, path, opened);
  if (m_pObserver != nullptr) m_pObserver->OnKey(path, status);
  if (status == kRegSuccess) {
    m_hKey = std::move(opened);
    m_strKeyPath = path;
  }
  return status;
}

long RegKey::QueryString(const char* name, std::string& value) {
  std::string read;
  long status = QueryInto(m_hKey.get(), name, kFirstQueryBytes, read);
  if (status == kRegMoreData) status = QueryInto(m_hKey.get(), name, kSecondQueryBytes, read);
  if (m_pObserver != nullptr) m_pObserver->OnValue(m_strKeyPath, name, status, read);
  if (status == kRegSuccess) value = read;
  return status;
}

int FindReaderPort(std::string& portName, DiscoveryObserver* observer) {
  RegKey ports(kPortsPath);
  ports.m_pObserver = observer;
  const int byName = FindPortByFriendlyName(ports, portName);
  if (observer != nullptr) observer->OnWalkEnd(DiscoveryWalk::kFriendlyName, byName);
  if (byName == kPortFound) return kPortFound;

  RegKey service(IsNt6OrLater() ? kServicePathNt6 : kServicePathOld);
  service.m_pObserver = observer;
  const int byService = FindPortByService(service, portName);
  if (observer != nullptr) observer->OnWalkEnd(DiscoveryWalk::kService, byService);
  if (byService == kPortNotConnected || byService == kServiceNoKey || byService == kServiceNoCount)
    return byName;
  return byService;
}

int FindPortByFriendlyName(RegKey& key, std::string& portName) {
  if (key.Open("") != kRegSuccess) return kPortsNone;
  const RegistryKeyHandle parent = std::move(key.m_hKey);
  int result = kPortsNone;
  for (unsigned long index = 0;; ++index) {
    char name[kEnumNameChars];
    unsigned long length = kEnumNameChars;
    if (RegistryEnumKey(parent.get(), index, name, &length) != kRegSuccess) break;

    RegistryKeyHandle port;
    const std::string path = key.m_strPath + name;
    const long opened = RegistryOpenKey(parent.get(), name, port);
    if (key.m_pObserver != nullptr) key.m_pObserver->OnKey(path, opened);
    if (opened != kRegSuccess) continue;
    key.m_hKey = std::move(port);
    key.m_strKeyPath = path;

    std::string friendly;
    if (key.QueryString(kFriendlyName, friendly) != kRegSuccess) {
      result = kPortsNotReader;
      continue;
    }
    if (friendly.find(kReaderMarker) == std::string::npos) {
      result = kPortsNotReader;
      continue;
    }
    if (friendly.find(kConnectedMarker) == std::string::npos) {
      result = kPortNotConnected;
      continue;
    }
    const size_t open = friendly.rfind('(');
    const size_t close = friendly.rfind(')');
    if (open == std::string::npos || close == std::string::npos) {
      result = kPortsNoBrackets;
      continue;
    }
    // A ")" before the last "(" leaves nothing between them.
    portName = close > open ? friendly.substr(open + 1, close - open - 1) : std::string();
    return kPortFound;
  }
  return result;
}

int FindPortByService(RegKey& key, std::string& portName) {
  if (key.Open("") != kRegSuccess) return kServiceNoKey;
  std::uint32_t count = 0;
  const long counted = RegistryQueryDword(key.m_hKey.get(), kCount, &count);
  if (key.m_pObserver != nullptr)
    key.m_pObserver->OnValue(key.m_strKeyPath, kCount, counted, std::to_string(count));
  if (counted != kRegSuccess) return kServiceNoCount;
  if (count == 0) return kPortNotConnected;
  // Only the first device instance counts, whatever the number says.
  std::string instance;
  if (key.QueryString(kFirstInstance, instance) != kRegSuccess) return kServiceNoInstance;
  RegKey instances(kInstancesPath);
  instances.m_pObserver = key.m_pObserver;
  return QueryPortName(instances, instance, portName);
}

int QueryPortName(RegKey& key, const std::string& instance, std::string& portName) {
  key.m_strPath += instance;
  key.m_strPath += kDeviceParameters;
  if (key.Open("") != kRegSuccess) return kInstanceNoKey;
  std::string value;
  if (key.QueryString(kPortName, value) != kRegSuccess) return kInstanceNoPortName;
  portName = value;
  return kPortFound;
}

}  // namespace tarn::iccr
