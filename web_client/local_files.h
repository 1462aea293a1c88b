// Platform facts about local files: where the answer dump goes, how names compare, and how a
// narrow file name is opened.
#pragma once

#include <cstdio>
#include <string>

namespace tarn::web {

// The dump file's full name from the "TEMP" environment variable, or the fixed fallback.
std::string DumpFilePath();
// Whether two file names name the same file by the platform's comparison rule.
bool SameFileName(const std::string& a, const std::string& b);
// Opens the file named by the narrow form `path` in the C `mode` ("rb", "wb"); null when it
// cannot be opened or the name cannot be read back into the platform's own form.
std::FILE* OpenLocalFile(const std::string& path, const char* mode);

}  // namespace tarn::web
