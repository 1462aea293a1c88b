// The appliance simulator (simulators/appliance/appliance_sim.py) as a test fixture: one
// process per object on 127.0.0.1, steered by JSON commands over its standard input.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim_process.h"

namespace tarn::test {

struct RecordedRequest {
  std::string method;
  std::string path;  // request target as received, query included
  std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
  std::string body;                                          // raw bytes
  bool proxied = false;  // arrived in absolute form, as a proxy would receive it

  // Value of the first header with this name (case-insensitive), or "" when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

class ApplianceSim {
 public:
  ApplianceSim();  // starts the simulator; throws when it does not come up
  // "127.0.0.1:PORT", as a host argument of the exports.
  std::string host() const;
  uint16_t port() const { return port_; }

  // Merges `patch` into the simulator's configuration (keys: see the simulator's --help).
  void Configure(const nlohmann::json& patch);
  // Back to the start-up configuration, sessions and stored uploads cleared.
  void Reset();
  std::vector<RecordedRequest> Requests();
  void ClearRequests();
  // What the last import to this path stored ("" when none).
  std::string StoredUpload(const std::string& path);
  // Sends one raw command and returns the simulator's JSON answer.
  nlohmann::json Command(const nlohmann::json& command);

 private:
  std::unique_ptr<SimProcess> process_;
  uint16_t port_ = 0;
};

}  // namespace tarn::test
