#include <cstdlib>

#include "local_files.h"

namespace tarn::web {

std::string DumpFilePath() {
  // A value of any length is used whole: cutting it would name another folder.
  const char* temp = std::getenv("TEMP");
  if (temp == nullptr || *temp == 0) return "/tmp/htmlDump.htm";
  return std::string(temp) + "/htmlDump.htm";
}

bool SameFileName(const std::string& a, const std::string& b) {
  return a == b;
}

std::FILE* OpenLocalFile(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

}  // namespace tarn::web
