// The reader simulator (simulators/reader/reader_sim.py) as a test fixture: one process per
// object on its own pseudo-terminal, steered by JSON commands over its standard input.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim_process.h"

namespace tarn::test {

struct ReaderFrameLogEntry {
  double time = 0;        // seconds since the simulator started (monotonic)
  std::string direction;  // "rx" (from the host) or "tx" (to the host)
  std::string hex;        // the frame on the wire, lower-case hex without blanks
  std::string plain_hex;  // for wrapped card frames: the unwrapped frame; else empty
  int type = -1;          // frame type byte
  int ins = -1;           // instruction byte of 0x08/0x28 commands, else -1
};

class ReaderSim {
 public:
  // Starts the simulator with extra command-line options (see its --help).
  explicit ReaderSim(const std::vector<std::string>& options = {});
  // The pseudo-terminal's device path, for ComOpen.
  const std::string& device() const { return device_; }

  nlohmann::json Command(const nlohmann::json& command);
  std::vector<ReaderFrameLogEntry> Log();
  void ClearLog();
  bool Running();
  void Terminate();

 private:
  std::unique_ptr<SimProcess> process_;
  std::string device_;
};

}  // namespace tarn::test
