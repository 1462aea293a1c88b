// The registry file: any text is read into a tree without fault, every key and value found
// in it can be walked and read back, and the port discovery's walks over it stay sound.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "port_discovery.h"
#include "registry.h"
#include "registry_posix.h"

namespace {

using namespace tarn::iccr;

void Walk(const RegistryKey* key, int depth) {
  // Reading values of names that may or may not be there, both types, both buffer sizes.
  static const char* const kNames[] = {"", "PortName", "Count", "0", "FriendlyName"};
  for (const char* name : kNames) {
    char small[4];
    unsigned long size = sizeof small;
    long status = RegistryQueryString(key, name, small, &size);
    if (status == kRegMoreData) {
      std::string big(size, '\0');
      unsigned long again = size;
      status = RegistryQueryString(key, name, big.data(), &again);
      if (status != kRegSuccess || again != size || big[size - 1] != '\0') std::abort();
    }
    std::uint32_t number = 0;
    RegistryQueryDword(key, name, &number);
  }
  if (depth > 8) return;
  for (unsigned long i = 0;; ++i) {
    char name[64];
    unsigned long size = sizeof name;
    const long status = RegistryEnumKey(key, i, name, &size);
    if (status == kRegNoMoreItems) break;
    if (status != kRegSuccess) continue;
    // A name may hold a zero byte (the file can); the length counts all of it.
    if (size >= sizeof name || name[size] != '\0') std::abort();
    RegistryKeyHandle child;
    if (RegistryOpenKey(key, name, child) == kRegSuccess) Walk(child.get(), depth + 1);
  }
}

}  // namespace

// The service walk opens its instance list from the file; none is there.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TARN_REGISTRY_FILE", "/nonexistent/tarn-fuzz.reg", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RegistryKeyHandle root;
  RegistryOpenText(std::string(reinterpret_cast<const char*>(data), size), root);
  if (!root) std::abort();
  Walk(root.get(), 0);
  std::string port;
  RegKey ports("SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\");
  ports.m_hRoot = root.get();
  FindPortByFriendlyName(ports, port);
  RegKey service("SYSTEM\\CurrentControlSet\\services\\PCD_SERV\\Enum\\");
  service.m_hRoot = root.get();
  FindPortByService(service, port);
  // The service's first instance, looked up in this same text.
  std::string instance;
  if (service.m_hKey && service.QueryString("0", instance) == kRegSuccess) {
    RegKey instances("SYSTEM\\CurrentControlSet\\Enum\\");
    instances.m_hRoot = root.get();
    QueryPortName(instances, instance, port);
  }
  return 0;
}
