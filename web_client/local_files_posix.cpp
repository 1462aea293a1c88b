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

}  // namespace tarn::web
