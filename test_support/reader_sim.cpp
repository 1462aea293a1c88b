#include "reader_sim.h"

#include <stdexcept>

namespace tarn::test {

ReaderSim::ReaderSim(const std::vector<std::string>& options) {
  std::vector<std::string> argv{PythonPath(), SourceDir() + "/simulators/reader/reader_sim.py"};
  argv.insert(argv.end(), options.begin(), options.end());
  process_ = std::make_unique<SimProcess>(argv);
  const std::string& line = process_->first_line();
  if (line.rfind("DEVICE ", 0) != 0) throw std::runtime_error("reader simulator said: " + line);
  device_ = line.substr(7);
}

nlohmann::json ReaderSim::Command(const nlohmann::json& command) {
  if (!process_->WriteLine(command.dump())) throw std::runtime_error("reader simulator is gone");
  std::string line;
  if (!process_->ReadLine(line, std::chrono::seconds(10))) {
    throw std::runtime_error("reader simulator did not answer " + command.dump());
  }
  auto answer = nlohmann::json::parse(line);
  if (!answer.value("ok", false)) {
    throw std::runtime_error("reader simulator refused " + command.dump() + ": " + line);
  }
  return answer;
}

std::vector<ReaderFrameLogEntry> ReaderSim::Log() {
  std::vector<ReaderFrameLogEntry> out;
  const nlohmann::json answer = Command({{"cmd", "log"}});
  for (const auto& e : answer["log"]) {
    ReaderFrameLogEntry entry;
    entry.time = e["t"].get<double>();
    entry.direction = e["dir"].get<std::string>();
    entry.hex = e["hex"].get<std::string>();
    entry.plain_hex = e["plain_hex"].get<std::string>();
    entry.type = e["type"].get<int>();
    entry.ins = e["ins"].get<int>();
    out.push_back(std::move(entry));
  }
  return out;
}

void ReaderSim::ClearLog() {
  Command({{"cmd", "clear_log"}});
}

bool ReaderSim::Running() {
  return process_ && process_->Running();
}

void ReaderSim::Terminate() {
  if (process_) process_->Terminate();
}

}  // namespace tarn::test
