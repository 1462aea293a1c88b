// Platform facts about local files: where the answer dump goes, how names compare, and how a
// narrow file name is opened.
#pragma once

#include <cstdint>
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
// The size of the open file, of any length.
bool LocalFileSize(std::FILE* file, uint64_t& size);

// The file that a finished download takes the place of: `path` itself, or the file a link
// names; "" when `path` names something that is not a plain file (a device, a pipe), which
// can only be written in place.
std::string ReplaceableTarget(const std::string& path);
// A new file in the folder of `path`, open for binary writing, under a name no other file
// has; `temp` receives that name. Null when it cannot be created.
std::FILE* CreateFileBeside(const std::string& path, std::string& temp);
// Puts the finished file `temp` in the place of `path`, replacing what was there.
bool ReplaceLocalFile(const std::string& temp, const std::string& path);
void RemoveLocalFile(const std::string& path);

}  // namespace tarn::web
