#include "appliance_sim.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace tarn::test {

namespace {

// Bodies up to this size come inline as hex; longer ones through a file.
constexpr size_t kSlice = 64 * 1024;
constexpr auto kAnswerWait = std::chrono::seconds(20);

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  throw std::runtime_error("simulator sent bad hex");
}

void AppendHex(const std::string& hex, std::string& out) {
  if (hex.size() % 2 != 0) throw std::runtime_error("simulator sent odd-length hex");
  out.reserve(out.size() + hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    out.push_back(static_cast<char>((Nibble(hex[i]) << 4) | Nibble(hex[i + 1])));
  }
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
  for (const auto& [n, v] : headers) {
    if (EqualsIgnoreCase(n, name)) return v;
  }
  return "";
}

bool RecordedRequest::HasHeader(const std::string& name) const {
  return std::any_of(headers.begin(), headers.end(),
                     [&](const auto& header) { return EqualsIgnoreCase(header.first, name); });
}

ApplianceSim::ApplianceSim(const nlohmann::json& startup) {
  std::vector<std::string> argv{PythonPath(),
                                SourceDir() + "/simulators/appliance/appliance_sim.py"};
  if (!startup.empty()) {
    argv.push_back("--config");
    argv.push_back(startup.dump());
  }
  process_ = std::make_unique<SimProcess>(argv);
  const std::string& line = process_->first_line();
  if (line.rfind("PORT ", 0) != 0) throw std::runtime_error("appliance simulator said: " + line);
  const int port = std::stoi(line.substr(5));
  if (port <= 0 || port > 65535) throw std::runtime_error("appliance simulator said: " + line);
  port_ = static_cast<uint16_t>(port);
}

std::string ApplianceSim::host() const {
  return "127.0.0.1:" + std::to_string(port_);
}

std::string ApplianceSim::Url(const std::string& path) const {
  return "http://" + host() + path;
}

nlohmann::json ApplianceSim::Command(const nlohmann::json& command) {
  if (!process_->WriteLine(command.dump())) throw std::runtime_error("simulator is gone");
  std::string line;
  if (!process_->ReadLine(line, kAnswerWait)) {
    throw std::runtime_error("simulator did not answer " + command.dump());
  }
  auto answer = nlohmann::json::parse(line, nullptr, false);
  if (answer.is_discarded() || !answer.is_object()) {
    throw std::runtime_error("simulator answered garbage: " + line);
  }
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

std::string ApplianceSim::FetchBody(const nlohmann::json& command, size_t limit) {
  // Large bodies travel through a file: the answer line stays short and no hex is parsed.
  static std::atomic<unsigned> counter{0};
  const auto file = std::filesystem::temp_directory_path() /
                    ("tarn-appliance-sim-" + std::to_string(process_->pid()) + "-" +
                     std::to_string(counter++) + ".bin");
  nlohmann::json request = command;
  request["to_file"] = file.string();
  if (limit != std::numeric_limits<size_t>::max()) request["length"] = limit;
  const auto answer = Command(request);
  std::string out(static_cast<size_t>(answer.at("written").get<uint64_t>()), '\0');
  std::ifstream in(file, std::ios::binary);
  in.read(out.data(), static_cast<std::streamsize>(out.size()));
  const bool complete = in.gcount() == static_cast<std::streamsize>(out.size());
  in.close();
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
  if (!complete) throw std::runtime_error("cannot read back " + file.string());
  return out;
}

std::vector<RecordedRequest> ApplianceSim::Requests(size_t max_body) {
  std::vector<RecordedRequest> out;
  const auto answer = Command({{"cmd", "requests"}, {"max_body", kSlice}});
  size_t index = 0;
  for (const auto& r : answer.at("requests")) {
    RecordedRequest request;
    request.method = r.at("method").get<std::string>();
    request.path = r.at("path").get<std::string>();
    request.target = r.value("target", request.path);
    for (const auto& h : r.at("headers")) {
      request.headers.emplace_back(h.at(0).get<std::string>(), h.at(1).get<std::string>());
    }
    request.body_size = r.value("body_size", size_t{0});
    request.proxied = r.value("proxied", false);
    if (request.body_size <= kSlice || max_body <= kSlice) {
      AppendHex(r.at("body_hex").get<std::string>(), request.body);
      if (request.body.size() > max_body) request.body.resize(max_body);
    } else {
      request.body = FetchBody({{"cmd", "request_body"}, {"index", index}}, max_body);
    }
    out.push_back(std::move(request));
    ++index;
  }
  return out;
}

std::vector<RecordedRequest> ApplianceSim::RequestsTo(const std::string& path) {
  auto all = Requests();
  std::vector<RecordedRequest> out;
  for (auto& request : all) {
    if (request.path.substr(0, request.path.find('?')) == path) out.push_back(std::move(request));
  }
  return out;
}

void ApplianceSim::ClearRequests() {
  Command({{"cmd", "clear_requests"}});
}

std::string ApplianceSim::StoredUpload(const std::string& path) {
  return FetchBody({{"cmd", "upload"}, {"path", path}}, std::numeric_limits<size_t>::max());
}

bool ApplianceSim::HasUpload(const std::string& path) {
  return Command({{"cmd", "upload"}, {"path", path}, {"length", 0}}).at("present").get<bool>();
}

nlohmann::json ApplianceSim::Sessions() {
  return Command({{"cmd", "sessions"}}).at("sessions");
}

}  // namespace tarn::test
