// Platform facts about local files: where the answer dump goes, how names compare.
#pragma once

#include <string>

namespace tarn::web {

// The dump file's full name from the "TEMP" environment variable, or the fixed fallback.
std::string DumpFilePath();
// Whether two file names name the same file by the platform's comparison rule.
bool SameFileName(const std::string& a, const std::string& b);

}  // namespace tarn::web
