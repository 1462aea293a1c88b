// The registry file's text apart from the file, so that a buffer can be read the same way.
#pragma once

#include <string>

#include "registry.h"

namespace tarn::iccr {

// Opens the root (HKEY_LOCAL_MACHINE) of a registry read from `bytes` in the registry-export
// text format: UTF-8, or UTF-16LE with a byte-order mark.
void RegistryOpenText(const std::string& bytes, RegistryKeyHandle& key);

}  // namespace tarn::iccr
