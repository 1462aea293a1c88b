// What tarn doctor asks of the platform: name resolution, a bare connection, the proxy the web
// client's requests take, why a serial port does not open, and where the registry lives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarn::host::doctor {

// The addresses `host` resolves to, as text; false with the system's reason in `error`.
bool ResolveHost(const std::string& host, std::vector<std::string>& addresses, std::string& error);

// A TCP connection to host:port, closed at once; gives up after `limit_ms`.
bool TryConnect(const std::string& host, uint16_t port, int limit_ms, std::string& error);

struct ProxyRoute {
  bool used = false;
  std::string proxy;  // as configured, e.g. "http://127.0.0.1:3128"
  std::string host;   // where the requests connect when `used`
  uint16_t port = 0;
  std::string origin;  // where the setting comes from, e.g. "http_proxy"
  std::string note;    // why no proxy is used although one is configured, or ""
};

// The route the web client's requests to `host` take with its proxy switch on.
ProxyRoute ProxyFor(const std::string& host);

enum class PortProblem { kMissing, kBusy, kDenied, kOther };

struct PortFailure {
  PortProblem problem = PortProblem::kOther;
  std::string device;  // what was opened
  std::string detail;  // the system's text
  std::string advice;  // what to do, in a sentence: the holder, the group to join; or ""
};

// Why `portName` did not open: opens it again, as the serial link does, and looks at the
// system's answer. Closes whatever it opened.
PortFailure ExplainPortFailure(const std::string& portName);

// Where the registry that discovery reads is, in a sentence.
std::string RegistryPlace();

}  // namespace tarn::host::doctor
