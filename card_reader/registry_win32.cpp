// The Win32 registry below HKEY_LOCAL_MACHINE, read through the ANSI functions, in the view
// of the calling process. Values of the wrong type are refused, as the registry file does,
// so that a number is never read as text or the other way round.
#include <windows.h>

#include "registry.h"

namespace tarn::iccr {

struct RegistryKey {
  HKEY key = nullptr;
};

void RegistryKeyCloser::operator()(RegistryKey* key) const {
  if (key->key != nullptr) RegCloseKey(key->key);
  delete key;
}

long RegistryOpenKey(const RegistryKey* parent, const std::string& path, RegistryKeyHandle& key) {
  const HKEY from = parent != nullptr ? parent->key : HKEY_LOCAL_MACHINE;
  HKEY opened = nullptr;
  const LSTATUS status = RegOpenKeyExA(from, path.c_str(), 0, KEY_READ, &opened);
  if (status != ERROR_SUCCESS) return status;
  key.reset(new RegistryKey{opened});
  return kRegSuccess;
}

long RegistryEnumKey(const RegistryKey* key, unsigned long index, char* name,
                     unsigned long* nameSize) {
  if (key == nullptr || name == nullptr || nameSize == nullptr) return kRegNotFound;
  DWORD size = *nameSize;
  const LSTATUS status =
      RegEnumKeyExA(key->key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_SUCCESS) *nameSize = size;
  return status;
}

long RegistryQueryString(const RegistryKey* key, const char* name, char* buffer,
                         unsigned long* size) {
  if (key == nullptr || size == nullptr) return kRegNotFound;
  const DWORD room = buffer != nullptr ? *size : 0;
  DWORD type = REG_NONE;
  DWORD got = room;
  const LSTATUS status =
      RegQueryValueExA(key->key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &got);
  if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return status;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return kRegInvalidData;
  if (status == ERROR_MORE_DATA || buffer == nullptr) {
    *size = got;
    return kRegMoreData;
  }
  // A stored text need not end in its terminator; the caller gets one either way.
  const DWORD needed = got > 0 && buffer[got - 1] == '\0' ? got : got + 1;
  *size = needed;
  if (needed > room) return kRegMoreData;
  buffer[needed - 1] = '\0';
  return kRegSuccess;
}

long RegistryQueryDword(const RegistryKey* key, const char* name, std::uint32_t* value) {
  if (key == nullptr || value == nullptr) return kRegNotFound;
  DWORD type = REG_NONE;
  DWORD number = 0;
  DWORD size = sizeof number;
  const LSTATUS status =
      RegQueryValueExA(key->key, name, nullptr, &type, reinterpret_cast<BYTE*>(&number), &size);
  if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return status;
  if (type != REG_DWORD || status != ERROR_SUCCESS || size != sizeof number) return kRegInvalidData;
  *value = number;
  return kRegSuccess;
}

bool IsNt6OrLater() {
  OSVERSIONINFOEXA info{};
  info.dwOSVersionInfoSize = sizeof info;
  auto* plain = reinterpret_cast<OSVERSIONINFOA*>(&info);
  if (!GetVersionExA(plain)) {
    // Systems that do not know the extended record take the plain one.
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(plain)) return false;
  }
  return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 6;
}

}  // namespace tarn::iccr
