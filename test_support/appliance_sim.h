// The appliance simulator (simulators/appliance/appliance_sim.py) as a test fixture: one
// process per object on 127.0.0.1, steered by JSON commands over its standard input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim_process.h"

namespace tarn::test {

struct RecordedRequest {
  std::string method;
  // Request target as received, query included; for a request in absolute form (sent to a
  // proxy) only its path and query.
  std::string path;
  std::string target;                                        // request target exactly as received
  std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
  std::string body;      // raw bytes (possibly cut, see Requests)
  size_t body_size = 0;  // full length of the body as received
  bool proxied = false;  // arrived in absolute form, as a proxy would receive it

  // Value of the first header with this name (case-insensitive), or "" when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

class ApplianceSim {
 public:
  // Starts the simulator; `startup` is merged into its defaults and becomes what Reset returns
  // to. Throws when the simulator does not come up.
  explicit ApplianceSim(const nlohmann::json& startup = nlohmann::json::object());
  // "127.0.0.1:PORT", as a host argument of the exports.
  std::string host() const;
  uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT" + path.
  std::string Url(const std::string& path) const;

  // Merges `patch` into the simulator's configuration (keys: see the simulator's --help).
  void Configure(const nlohmann::json& patch);
  // Back to the start-up configuration, sessions and stored uploads cleared.
  void Reset();
  // Every request since the last clear, oldest first. Bodies longer than `max_body` bytes are
  // cut to it (body_size keeps the full length).
  std::vector<RecordedRequest> Requests(size_t max_body = std::numeric_limits<size_t>::max());
  // The recorded requests to `path` (path part without query), oldest first.
  std::vector<RecordedRequest> RequestsTo(const std::string& path);
  void ClearRequests();
  // What the last import to this path stored ("" when none).
  std::string StoredUpload(const std::string& path);
  bool HasUpload(const std::string& path);
  // Cookie id -> signed-in account name (null when not signed in).
  nlohmann::json Sessions();
  // Sends one raw command and returns the simulator's JSON answer; throws std::runtime_error
  // on {"ok": false}, on no answer within a bounded wait, or when the simulator is gone.
  nlohmann::json Command(const nlohmann::json& command);

 private:
  std::string FetchBody(const nlohmann::json& command, size_t limit);

  std::unique_ptr<SimProcess> process_;
  uint16_t port_ = 0;
};

}  // namespace tarn::test
