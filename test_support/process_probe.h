// Small facts about this process and the files the tests make, shared by the fixtures.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>

namespace tarn::test {

// Threads of this process now, to show that a call left none behind.
inline int ThreadCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
  }
  return count;
}

// A "Vm..." figure of /proc/PID/status, in kB; -1 when the process or the figure is missing.
inline long MemoryKb(int pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// Starts the process's peak resident memory (VmHWM) again from its present size.
inline bool ResetPeakMemory(int pid) {
  std::ofstream clear("/proc/" + std::to_string(pid) + "/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

// Width and height from a PNG's header; {0, 0} when it is none.
inline std::pair<uint32_t, uint32_t> PngSize(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  unsigned char header[24] = {};
  file.read(reinterpret_cast<char*>(header), sizeof header);
  if (!file || std::string(reinterpret_cast<char*>(header) + 1, 3) != "PNG") return {0, 0};
  auto be32 = [&](int at) {
    return uint32_t{header[at]} << 24 | uint32_t{header[at + 1]} << 16 |
           uint32_t{header[at + 2]} << 8 | header[at + 3];
  };
  return {be32(16), be32(20)};
}

}  // namespace tarn::test
