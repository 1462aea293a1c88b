// The tarn under test, run as a person runs it: the Linux build's tarn, or with the Wine
// environment (TARN_WINE) the Windows build's tarn.exe under Wine.
#pragma once

#include <string>
#include <vector>

namespace tarn::host {

// The Wine tests' environment (TARN_WINE, TARN_WINDOWS_BUILD_DIR) picks the
// Windows build's tarn.exe under Wine; without it the Linux build's tarn runs.
struct Target {
  bool wine = false;
  std::vector<std::string> tarn;      // what runs tarn: the program, under Wine its loader first
  std::vector<std::string> terminal;  // the same for a run on a terminal
  bool card = false;                  // the build has the card command
  std::string line_end;               // what ends each line tarn writes to a file or pipe
};

const Target& TheTarget();

struct CliRun {
  int status = -1;
  std::string output;  // standard output and error together, lines ending in "\n"
  std::string raw;     // the same as it came
};

// Runs `tarn ARGS` (ARGS in shell syntax) with no terminal, bounded in time; `wrapper` (shell
// syntax) runs it, e.g. with fewer privileges.
CliRun Tarn(const std::string& args, const std::string& wrapper = "");

}  // namespace tarn::host
