#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
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

bool LocalFileSize(std::FILE* file, uint64_t& size) {
  struct stat st {};
  if (::fstat(::fileno(file), &st) != 0) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

std::string ReplaceableTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return path;
  if (S_ISLNK(st.st_mode)) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::string();  // a dangling link is written through
    std::string real(resolved);
    std::free(resolved);
    return ::stat(real.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? real : std::string();
  }
  return S_ISREG(st.st_mode) ? path : std::string();
}

std::FILE* CreateFileBeside(const std::string& path, std::string& temp) {
  // The new file gets the mode the target has now, else what the user's umask gives.
  mode_t mode = 0666;
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    mode = existing.st_mode & 07777;
  }
  const auto seed = static_cast<unsigned long>(
      std::chrono::steady_clock::now().time_since_epoch().count() ^ ::getpid());
  for (unsigned long attempt = 0; attempt < 100; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".part-%lx", (seed + attempt * 7919) & 0xFFFFFFFFul);
    temp = path + suffix;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    if (existing.st_mode != 0) ::fchmod(fd, mode);  // the umask must not narrow a kept mode
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
      ::close(fd);
      ::unlink(temp.c_str());
    }
    return file;
  }
  return nullptr;
}

bool ReplaceLocalFile(const std::string& temp, const std::string& path) {
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

void RemoveLocalFile(const std::string& path) {
  std::remove(path.c_str());
}

}  // namespace tarn::web
