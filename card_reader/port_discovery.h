// Finding the reader's serial port in the registry.
#pragma once

#include <string>

#include "registry.h"

namespace tarn::iccr {

enum class DiscoveryWalk { kFriendlyName, kService };

// Told every key and value a discovery reads and what each walk gave, for diagnostics; the
// export runs without one.
class DiscoveryObserver {
 public:
  virtual ~DiscoveryObserver() = default;
  // `path` (below HKEY_LOCAL_MACHINE) was opened, or not: `status`.
  virtual void OnKey(const std::string& path, long status) = 0;
  // A value of the key at `path`: its text (a number in decimal) when `status` is kRegSuccess.
  virtual void OnValue(const std::string& path, const char* name, long status,
                       const std::string& value) = 0;
  virtual void OnWalkEnd(DiscoveryWalk walk, int code) = 0;
};

// A key below HKEY_LOCAL_MACHINE named by a path that ends in a backslash. The keys it opens
// are released when it replaces them and when it goes away.
class RegKey {
 public:
  explicit RegKey(std::string path) : m_strPath(std::move(path)) {}

  // Opens m_strPath followed by `sub`; on success that key becomes m_hKey.
  long Open(const char* sub);
  // A string value of m_hKey; a value that does not fit 256 bytes is read again into 8192.
  long QueryString(const char* name, std::string& value);

  const RegistryKey* m_hRoot = nullptr;  // HKEY_LOCAL_MACHINE
  RegistryKeyHandle m_hKey;
  std::string m_strPath;
  DiscoveryObserver* m_pObserver = nullptr;
  std::string m_strKeyPath;  // the path of m_hKey, for the observer
};

// Results of the walks (1 found; 0 the reader is there but not connected).
constexpr int kPortFound = 1;
constexpr int kPortNotConnected = 0;
constexpr int kServiceNoKey = -20;
constexpr int kServiceNoCount = -21;
constexpr int kServiceNoInstance = -22;
constexpr int kInstanceNoKey = -30;
constexpr int kInstanceNoPortName = -32;
constexpr int kPortsNone = -70;
constexpr int kPortsNotReader = -71;
constexpr int kPortsNoBrackets = -72;

// The whole discovery: 1 with the port name stored in `portName`, else 0 or a negative code.
int FindReaderPort(std::string& portName, DiscoveryObserver* observer = nullptr);
// The walk over the root-enumerated ports; `portName` is written only on 1.
int FindPortByFriendlyName(RegKey& key, std::string& portName);
// The walk through the reader service's device list; `portName` is written only on 1.
int FindPortByService(RegKey& key, std::string& portName);
// The port name of one device instance; `portName` is written only on 1.
int QueryPortName(RegKey& key, const std::string& instance, std::string& portName);

}  // namespace tarn::iccr
