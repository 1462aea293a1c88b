#include "appliance_sim.h"

#include <cctype>
#include <stdexcept>

namespace tarn::test {

namespace {

std::string FromHex(const std::string& hex) {
  std::string out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
  for (const auto& [n, v] : headers) {
    if (EqualsIgnoreCase(n, name)) return v;
  }
  return "";
}

bool RecordedRequest::HasHeader(const std::string& name) const {
  for (const auto& header : headers) {
    if (EqualsIgnoreCase(header.first, name)) return true;
  }
  return false;
}

ApplianceSim::ApplianceSim() {
  process_ = std::make_unique<SimProcess>(std::vector<std::string>{
      PythonPath(), SourceDir() + "/simulators/appliance/appliance_sim.py"});
  const std::string& line = process_->first_line();
  if (line.rfind("PORT ", 0) != 0) throw std::runtime_error("appliance simulator said: " + line);
  port_ = static_cast<uint16_t>(std::stoi(line.substr(5)));
}

std::string ApplianceSim::host() const {
  return "127.0.0.1:" + std::to_string(port_);
}

nlohmann::json ApplianceSim::Command(const nlohmann::json& command) {
  if (!process_->WriteLine(command.dump())) throw std::runtime_error("simulator is gone");
  std::string line;
  if (!process_->ReadLine(line, std::chrono::seconds(20))) {
    throw std::runtime_error("simulator did not answer " + command.dump());
  }
  auto answer = nlohmann::json::parse(line);
  if (!answer.value("ok", false)) {
    throw std::runtime_error("simulator refused " + command.dump() + ": " + line);
  }
  return answer;
}

void ApplianceSim::Configure(const nlohmann::json& patch) {
  Command({{"cmd", "config"}, {"set", patch}});
}

void ApplianceSim::Reset() {
  Command({{"cmd", "reset"}});
}

std::vector<RecordedRequest> ApplianceSim::Requests() {
  std::vector<RecordedRequest> out;
  for (const auto& r : Command({{"cmd", "requests"}})["requests"]) {
    RecordedRequest request;
    request.method = r["method"].get<std::string>();
    request.path = r["path"].get<std::string>();
    for (const auto& h : r["headers"]) {
      request.headers.emplace_back(h[0].get<std::string>(), h[1].get<std::string>());
    }
    request.body = FromHex(r["body_hex"].get<std::string>());
    request.proxied = r.value("proxied", false);
    out.push_back(std::move(request));
  }
  return out;
}

void ApplianceSim::ClearRequests() {
  Command({{"cmd", "clear_requests"}});
}

std::string ApplianceSim::StoredUpload(const std::string& path) {
  return FromHex(Command({{"cmd", "upload"}, {"path", path}})["data_hex"].get<std::string>());
}

}  // namespace tarn::test
