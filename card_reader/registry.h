// Read access to the system registry below HKEY_LOCAL_MACHINE, with the Win32 statuses.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tarn::iccr {

constexpr long kRegSuccess = 0;        // ERROR_SUCCESS
constexpr long kRegNotFound = 2;       // ERROR_FILE_NOT_FOUND
constexpr long kRegInvalidData = 13;   // ERROR_INVALID_DATA: the value has another type
constexpr long kRegMoreData = 234;     // ERROR_MORE_DATA
constexpr long kRegNoMoreItems = 259;  // ERROR_NO_MORE_ITEMS

// An open key; defined by each platform. A null parent stands for HKEY_LOCAL_MACHINE.
struct RegistryKey;
struct RegistryKeyCloser {
  void operator()(RegistryKey* key) const;
};
using RegistryKeyHandle = std::unique_ptr<RegistryKey, RegistryKeyCloser>;

// Opens `path` (components separated by backslashes) below `parent` for reading. An empty
// path opens the parent again.
long RegistryOpenKey(const RegistryKey* parent, const std::string& path, RegistryKeyHandle& key);
// The name of subkey `index` into `name` of `*nameSize` characters; on success `*nameSize` is
// the name's length without the terminator. kRegNoMoreItems past the last subkey,
// kRegMoreData when the name does not fit.
long RegistryEnumKey(const RegistryKey* key, unsigned long index, char* name,
                     unsigned long* nameSize);
// A string value with its terminator into `buffer` of `*size` bytes; `*size` becomes the
// bytes the value needs (also when it does not fit: kRegMoreData).
long RegistryQueryString(const RegistryKey* key, const char* name, char* buffer,
                         unsigned long* size);
long RegistryQueryDword(const RegistryKey* key, const char* name, std::uint32_t* value);
// Windows NT 6 (Vista) or later.
bool IsNt6OrLater();

}  // namespace tarn::iccr
