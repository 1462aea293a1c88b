// tarn doctor: follows the web client's road to the appliance and the card reader's road to the
// reader step by step, in sentences. It signs in nowhere, writes no file and no registry value,
// and runs the libraries' own code (linked in statically) for every step they would take.
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "doctor_platform.h"
#include "http_helper.h"
#include "http_session.h"
#include "port_discovery.h"
#include "reader_auth.h"
#include "reader_frame.h"
#include "reader_sequence.h"
#include "registry.h"
#include "serial_link.h"
#include "url_parts.h"

namespace tarn::host {
namespace {

using Clock = std::chrono::steady_clock;

// Exit statuses: 0 everything needed works; otherwise the first step that failed.
constexpr int kAllWell = 0;
constexpr int kNoAddress = 10;
constexpr int kNoConnection = 11;
constexpr int kNoStatus = 12;
constexpr int kNoLoginPage = 13;
constexpr int kNoReaderPort = 20;
constexpr int kPortMissing = 21;
constexpr int kPortBusy = 22;
constexpr int kPortDenied = 23;
constexpr int kPortFails = 24;
constexpr int kReaderSilent = 25;
constexpr int kReaderRefuses = 26;
constexpr int kAuthFails = 27;
constexpr int kSecureFails = 28;

constexpr int kConnectLimitMs = 10000;
constexpr size_t kAnswerLimit = 1 << 20;  // more than any status answer or login page
// A reader answers within milliseconds; one that has not after this never will.
constexpr auto kReplyLimit = std::chrono::seconds(3);

constexpr const char* kStatusPath = "/script/_userlogin/zc_auth.shp";
constexpr const char* kLoginPath = "/script/_userlogin/userlogin_zc.shp";

std::string Took(Clock::time_point start) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  return " (" + std::to_string(ms.count()) + " ms)";
}

std::string Joined(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : separator) + item;
  return out;
}

// ---- the appliance -----------------------------------------------------------------------

// An answer kept in memory: the doctor leaves the dump file alone.
class Answer final : public web::HttpAnswerSink {
 public:
  bool OnStatus(unsigned code) override {
    code_ = code;
    return code == 200;
  }
  bool OnBody(const char* data, size_t size) override {
    if (body_.size() + size > kAnswerLimit) return false;
    body_.append(data, size);
    return true;
  }
  unsigned code() const { return code_; }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(body_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  unsigned code_ = 0;
  std::string body_;
};

// One GET through the web client's own HTTP layer. False, with the sentence's ending in
// `outcome`, unless the answer is 200.
bool Fetch(web::HttpSession& session, const std::string& url, Answer& answer,
           std::string& outcome) {
  std::string error;
  if (!session.Get(url, answer, error)) {
    outcome = "the request failed: " + error;
    return false;
  }
  const std::string status =
      std::to_string(answer.code()) + " " + web::CHttpHelper::GetStatusText(answer.code());
  if (answer.code() != 200) {
    outcome = status + " instead of 200 OK";
    return false;
  }
  outcome = status;
  return true;
}

int CheckAppliance(const std::string& host, bool direct) {
  std::cout << "Appliance " << host << ":\n";
  web::CUrlParts parts;
  if (!parts.Split("http://" + host + kStatusPath) || parts.host().empty()) {
    std::cout << "  Address: http://" << host << kStatusPath
              << " is not an address the web client can reach.\n";
    return kNoAddress;
  }
  const std::string name = parts.host();
  // No port named: the default HTTP port, as for the requests.
  const uint16_t port = parts.port() != 0 ? parts.port() : 80;

  doctor::ProxyRoute route;
  if (direct) {
    std::cout << "  Proxy: none; --direct sends the requests straight to the appliance.\n";
  } else {
    route = doctor::ProxyFor(name);
    if (route.used) {
      std::cout << "  Proxy: " << route.proxy << " (from " << route.origin
                << "); the requests go through it.\n";
    } else if (!route.note.empty()) {
      std::cout << "  Proxy: " << route.proxy << " (from " << route.origin << ") is not used, as "
                << route.note << ".\n";
    } else {
      std::cout << "  Proxy: none; the requests go straight to the appliance.\n";
    }
  }

  Clock::time_point start = Clock::now();
  std::vector<std::string> addresses;
  std::string error;
  if (doctor::ResolveHost(name, addresses, error)) {
    std::cout << "  Name: " << name << " resolves to " << Joined(addresses, ", ") << Took(start)
              << ".\n";
  } else if (route.used) {
    std::cout << "  Name: " << name << " does not resolve here (" << error
              << "); the proxy resolves it" << Took(start) << ".\n";
  } else {
    std::cout << "  Name: " << name << " does not resolve: " << error << Took(start) << ".\n";
    return kNoAddress;
  }

  const std::string target = route.used ? route.host : name;
  const uint16_t target_port = route.used ? route.port : port;
  const std::string what =
      (route.used ? "the proxy " : "") + target + " port " + std::to_string(target_port);
  start = Clock::now();
  if (!doctor::TryConnect(target, target_port, kConnectLimitMs, error)) {
    std::cout << "  Connection: " << what << " does not accept a connection: " << error
              << Took(start) << ".\n";
    return kNoConnection;
  }
  std::cout << "  Connection: " << what << " accepts a connection" << Took(start) << ".\n";

  const std::unique_ptr<web::HttpSession> session = web::CreateHttpSession();
  session->SetUseProxy(!direct);
  start = Clock::now();
  Answer status;
  std::string outcome;
  if (!Fetch(*session, "http://" + host + kStatusPath, status, outcome)) {
    std::cout << "  Status answer: " << outcome << Took(start) << ".\n";
    return kNoStatus;
  }
  // The status parser's rule: the last mchiman line counts.
  bool have_mchiman = false;
  int32_t mchiman = 0;
  for (const auto& line : status.Lines()) {
    std::string key;
    int32_t value = 0;
    if (line.find('=') != std::string::npos && web::answer::ParseKeyNumber(line, key, value) &&
        key == "mchiman") {
      have_mchiman = true;
      mchiman = value;
    }
  }
  std::cout << "  Status answer: " << outcome << ", "
            << (have_mchiman ? "mchiman=" + std::to_string(mchiman) : "no mchiman line") << ": "
            << (mchiman == 1 ? "transfers sign in first" : "transfers run without a sign-in")
            << Took(start) << ".\n";

  start = Clock::now();
  Answer page;
  if (!Fetch(*session, "http://" + host + kLoginPath, page, outcome)) {
    std::cout << "  Login page: " << outcome << Took(start) << ".\n";
    return kNoLoginPage;
  }
  bool have_challenge = false;
  bool have_time = false;
  for (const auto& line : page.Lines()) {
    std::string field;
    std::string value;
    if (line.find("hidden") == std::string::npos ||
        !web::answer::ScanHiddenField(line, field, value)) {
      continue;
    }
    have_challenge = have_challenge || field == "authMD5in";
    have_time = have_time || field == "authTime";
  }
  std::vector<std::string> missing;
  if (!have_challenge) missing.emplace_back("authMD5in");
  if (!have_time) missing.emplace_back("authTime");
  if (missing.empty()) {
    std::cout << "  Login page: " << outcome << " with both hidden fields, authMD5in and authTime"
              << Took(start) << ".\n";
  } else {
    std::cout << "  Login page: " << outcome << ", but it lacks the hidden field"
              << (missing.size() > 1 ? "s " : " ") << Joined(missing, " and ")
              << (mchiman == 1 ? ": the sign-in cannot succeed"
                               : "; no sign-in is asked for, so transfers do not need it")
              << Took(start) << ".\n";
    if (mchiman == 1) return kNoLoginPage;
  }
  std::cout << "The appliance answers as the web client needs.\n";
  return kAllWell;
}

// ---- the card reader ---------------------------------------------------------------------

std::string RegistryStatus(long status) {
  if (status == iccr::kRegSuccess) return "opened";
  if (status == iccr::kRegNotFound) return "missing";
  if (status == iccr::kRegInvalidData) return "of another type";
  return "unreadable (status " + std::to_string(status) + ")";
}

std::string CodeMeaning(int code) {
  switch (code) {
    case iccr::kPortFound:
      return "port found";
    case iccr::kPortNotConnected:
      return "the reader's port is there but not marked Connected, or the service lists no "
             "device";
    case iccr::kServiceNoKey:
      return "the reader service has no device list";
    case iccr::kServiceNoCount:
      return "the service's device list has no Count";
    case iccr::kServiceNoInstance:
      return "the service lists devices but its first one (value \"0\") cannot be read";
    case iccr::kInstanceNoKey:
      return "the first device's Device Parameters key is missing";
    case iccr::kInstanceNoPortName:
      return "the first device has no PortName";
    case iccr::kPortsNone:
      return "no port key could be examined";
    case iccr::kPortsNotReader:
      return "the last port examined is not the reader's";
    case iccr::kPortsNoBrackets:
      return "the reader's port name lacks its brackets";
    default:
      return "unknown code";
  }
}

class DiscoveryLines final : public iccr::DiscoveryObserver {
 public:
  void OnKey(const std::string& path, long status) override {
    std::cout << "  Key " << path << ": " << RegistryStatus(status) << ".\n";
  }
  void OnValue(const std::string& /*path*/, const char* name, long status,
               const std::string& value) override {
    std::cout << "    " << name << ": ";
    if (status == iccr::kRegSuccess) {
      std::cout << "\"" << value << "\"\n";
    } else {
      std::cout << RegistryStatus(status) << "\n";
    }
  }
  void OnWalkEnd(iccr::DiscoveryWalk walk, int code) override {
    const bool ports = walk == iccr::DiscoveryWalk::kFriendlyName;
    std::cout << "  The walk " << (ports ? "over the ports" : "through the reader service")
              << " gave " << code << ": " << CodeMeaning(code);
    if (!ports && (code == iccr::kPortNotConnected || code == iccr::kServiceNoKey ||
                   code == iccr::kServiceNoCount)) {
      std::cout << "; the ports walk's code stands";
    }
    std::cout << ".\n";
  }
};

std::string ReaderErrorText() {
  char text[8];
  std::snprintf(text, sizeof text, "%02X %02X", iccr::g_nReaderError >> 8,
                iccr::g_nReaderError & 0xFF);
  return text;
}

std::string Printable(const uint8_t* bytes, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i)
    out.push_back(bytes[i] >= 0x20 && bytes[i] < 0x7f ? static_cast<char>(bytes[i]) : '.');
  return out;
}

// The reader's commands on an open link. A reader that never answers leaves the link's read
// waiting without limit; closing the link is what releases it.
class ReaderLink {
 public:
  explicit ReaderLink(int port) : port_(port) {}
  ~ReaderLink() {
    if (port_ >= 0) iccr::ComClose(port_);
  }
  ReaderLink(const ReaderLink&) = delete;
  ReaderLink& operator=(const ReaderLink&) = delete;

  // The command's result; 0 also when no reply came within the limit (`silent` then set).
  int Run(const std::function<int(int)>& command) {
    if (port_ < 0) return 0;
    std::packaged_task<int(int)> task(command);
    std::future<int> result = task.get_future();
    std::thread worker(std::move(task), port_);
    if (result.wait_for(kReplyLimit) != std::future_status::ready) {
      silent_ = true;
      iccr::ComClose(port_);
      port_ = -1;
    }
    worker.join();
    return result.get();
  }
  bool silent() const { return silent_; }

 private:
  int port_;
  bool silent_ = false;
};

// One reader step: its sentence on success, or the reason and the exit status on failure.
int ReaderStep(ReaderLink& link, const char* name, const std::function<int(int)>& command,
               const std::function<std::string()>& success, int refused_status,
               const std::string& refused_text) {
  const Clock::time_point start = Clock::now();
  const int result = link.Run(command);
  std::cout << "  " << name << ": ";
  if (result > 0) {
    std::cout << success() << Took(start) << ".\n";
    return kAllWell;
  }
  if (result == 0) {
    std::cout << (link.silent() ? "no reply within " + std::to_string(kReplyLimit.count()) + " s"
                                : std::string("no reply"))
              << ": the reader does not answer" << Took(start) << ".\n";
    return kReaderSilent;
  }
  std::cout << refused_text << " (error " << ReaderErrorText() << ")" << Took(start) << ".\n";
  return refused_status;
}

// A card frame (a FeliCa block read for no card in particular) goes out wrapped while secure
// messaging is on; a reply that passes both check bytes proves the session key on both sides.
int SecureExchange(int port) {
  uint8_t command[19] = {0x2C, 0x00, 0x0F, 0x06};
  command[12] = 0x01;
  command[15] = 0x01;
  command[16] = 0x80;
  uint8_t reply[32] = {};
  return iccr::ReaderTransceive(port, command, sizeof command, reply, sizeof reply);
}

int CheckCardReader() {
  std::cout << "Card reader:\n";
  std::cout << "  Registry: " << doctor::RegistryPlace() << ".\n";
  DiscoveryLines lines;
  std::string port_name;
  const int code = iccr::FindReaderPort(port_name, &lines);
  if (code != iccr::kPortFound) {
    std::cout << "  No reader port was found (code " << code << "): " << CodeMeaning(code)
              << ". Plug the reader in and install its driver.\n";
    return kNoReaderPort;
  }
  const std::string device = iccr::ComDevicePath(port_name.c_str());
  const std::string named = port_name + (device != port_name ? " (" + device + ")" : std::string());
  std::cout << "  Port: " << named << ".\n";

  const int port = iccr::ComOpen(port_name.c_str());
  if (port < 0) {
    const doctor::PortFailure failure = doctor::ExplainPortFailure(port_name);
    std::cout << "  Open: ";
    int status = kPortFails;
    switch (failure.problem) {
      case doctor::PortProblem::kMissing:
        std::cout << named << " is missing (" << failure.detail
                  << "). Plug the reader in, or check the port the registry names.";
        status = kPortMissing;
        break;
      case doctor::PortProblem::kBusy:
        std::cout << named << " is busy: another program holds it (" << failure.detail << ").";
        status = kPortBusy;
        break;
      case doctor::PortProblem::kDenied:
        std::cout << "permission denied for " << named << " (" << failure.detail << ").";
        status = kPortDenied;
        break;
      case doctor::PortProblem::kOther:
        std::cout << named << " does not open (" << failure.detail << ").";
        break;
    }
    std::cout << (failure.advice.empty() ? "" : " " + failure.advice) << "\n";
    return status;
  }
  std::cout << "  Open: " << named << " opens.\n";

  ReaderLink link(port);
  int status = ReaderStep(
      link, "Set-up", iccr::SetUpReader, [] { return std::string("the reader answers"); },
      kReaderRefuses, "the reader refuses the set-up command");
  if (status != kAllWell) return status;
  status = ReaderStep(
      link, "Reader information", iccr::ReadReaderInformation,
      [] {
        char hex[3 * sizeof iccr::g_ReaderInfo + 1];
        iccr::FormatHex(hex, iccr::g_ReaderInfo, sizeof iccr::g_ReaderInfo);
        std::string text(hex);
        if (!text.empty()) text.pop_back();
        return text + " (\"" + Printable(iccr::g_ReaderInfo, sizeof iccr::g_ReaderInfo) + "\")";
      },
      kReaderRefuses, "the reader refuses the reader-information command");
  if (status != kAllWell) return status;
  status = ReaderStep(
      link, "Security setting",
      [](int p) {
        const int result = iccr::ReadSecurityMode(p, iccr::g_SecuritySetting);
        if (result > 0) iccr::g_bSecureMode = iccr::g_SecuritySetting[1] == 0x11 ? 1 : 0;
        return result;
      },
      [] {
        return std::string(iccr::g_bSecureMode != 0 ? "secure messaging is on"
                                                    : "secure messaging is off; the first card "
                                                      "read switches it on");
      },
      kReaderRefuses, "the reader refuses to show its security setting");
  if (status != kAllWell) return status;
  status = ReaderStep(
      link, "Authentication",
      [](int p) {
        return iccr::AuthenticateReader(p, iccr::kAuthKeyA, iccr::kAuthKeyB, iccr::kAuthKeyC);
      },
      [] { return std::string("the reader accepts the library's keys"); }, kAuthFails,
      "the reader refuses: it holds other keys than the library");
  if (status != kAllWell) return status;
  if (iccr::g_bSecureMode == 0) {
    // Switching it on would change the reader's stored setting; the check changes nothing.
    std::cout << "  Secure messaging: not tried, since it is off and switching it on would change "
                 "the reader.\n";
    std::cout << "The card reader is ready for card reads.\n";
    return kAllWell;
  }
  status = ReaderStep(
      link, "Secure messaging", [](int p) { return SecureExchange(p); },
      [] { return std::string("a wrapped frame and its answer pass both checks"); }, kSecureFails,
      "a wrapped exchange fails");
  if (status != kAllWell) return status;
  std::cout << "The card reader is ready for card reads.\n";
  return kAllWell;
}

}  // namespace

void AddDoctorCommand(CLI::App& app, int& exit_code) {
  struct Args {
    std::string host;
    bool card = false;
  };
  auto args = std::make_shared<Args>();
  CLI::App* cmd = app.add_subcommand(
      "doctor",
      "Check the road to the appliance (--host) and to the card reader (--card) step by step, "
      "changing nothing and signing in nowhere. Exit status 0 when everything needed works, "
      "else the first failure: 10 address or name, 11 connection, 12 status answer, 13 login "
      "page, 20 no reader port in the registry, 21 port missing, 22 port busy, 23 permission "
      "denied, 24 port fails otherwise, 25 reader silent, 26 reader refuses a command, 27 "
      "authentication, 28 secure messaging");
  cmd->add_option("--host", args->host, "Appliance host[:port]");
  cmd->add_flag("--card", args->card, "Check the card reader");
  cmd->callback([&app, args, &exit_code]() {
    if (args->host.empty() && !args->card) throw CLI::RequiredError("--host or --card");
    int status = kAllWell;
    if (!args->host.empty()) status = CheckAppliance(args->host, app.count("--direct") > 0);
    if (args->card) {
      if (!args->host.empty()) std::cout << "\n";
      const int card = CheckCardReader();
      if (status == kAllWell) status = card;
    }
    exit_code = status;
  });
}

}  // namespace tarn::host
