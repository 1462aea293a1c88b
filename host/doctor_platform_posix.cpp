// tarn doctor's questions to a POSIX system.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "doctor_platform.h"
#include "serial_link.h"

namespace tarn::host::doctor {
namespace {

constexpr uint16_t kCurlDefaultProxyPort = 1080;
constexpr int kMaxLocks = 100000;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// libcurl's reading of no_proxy: "*" for every host, else names that match whole or as a
// domain suffix.
bool Bypassed(const std::string& host, const std::string& list) {
  const std::string name = Lower(host);
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find_first_of(", ", start);
    if (end == std::string::npos) end = list.size();
    std::string entry = Lower(list.substr(start, end - start));
    start = end + 1;
    if (entry == "*") return true;
    if (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
    if (entry.empty()) continue;
    if (name == entry) return true;
    if (name.size() > entry.size() &&
        name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
        name[name.size() - entry.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

void SplitProxy(const std::string& proxy, std::string& host, uint16_t& port) {
  std::string rest = proxy;
  const size_t scheme = rest.find("://");
  if (scheme != std::string::npos) rest.erase(0, scheme + 3);
  const size_t at = rest.rfind('@');
  if (at != std::string::npos) rest.erase(0, at + 1);
  const size_t slash = rest.find('/');
  if (slash != std::string::npos) rest.erase(slash);
  port = kCurlDefaultProxyPort;
  const size_t colon = rest.rfind(':');
  if (colon != std::string::npos && rest.find(']', colon) == std::string::npos) {
    port = static_cast<uint16_t>(std::atoi(rest.c_str() + colon + 1));
    rest.erase(colon);
  }
  if (rest.size() > 1 && rest.front() == '[' && rest.back() == ']')
    rest = rest.substr(1, rest.size() - 2);
  host = rest;
}

// The process that holds a lock on the device, from the kernel's list of locks.
std::string HolderOf(const std::string& device) {
  struct stat wanted {};
  if (::stat(device.c_str(), &wanted) != 0) return "";
  char file[64];
  std::snprintf(file, sizeof file, "%02x:%02x:%lu", major(wanted.st_dev), minor(wanted.st_dev),
                static_cast<unsigned long>(wanted.st_ino));
  std::ifstream locks("/proc/locks");
  std::string line;
  for (int n = 0; n < kMaxLocks && std::getline(locks, line); ++n) {
    std::istringstream words(line);
    std::string word;
    std::string before;
    while (words >> word && word != file) before = word;
    if (word != file || before.empty()) continue;
    std::string comm;
    std::getline(std::ifstream("/proc/" + before + "/comm"), comm);
    return "process " + before + (comm.empty() ? "" : " (" + comm + ")");
  }
  return "";
}

}  // namespace

bool ResolveHost(const std::string& host, std::vector<std::string>& addresses, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    error = ::gai_strerror(rc);
    return false;
  }
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw =
        a->ai_family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr)
            : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
    if (::inet_ntop(a->ai_family, raw, text, sizeof text) == nullptr) continue;
    bool known = false;
    for (const auto& seen : addresses) known = known || seen == text;
    if (!known) addresses.emplace_back(text);
  }
  ::freeaddrinfo(list);
  return true;
}

bool TryConnect(const std::string& host, uint16_t port, int limit_ms, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (rc != 0) {
    error = ::gai_strerror(rc);
    return false;
  }
  bool connected = false;
  error = "no address";
  for (const addrinfo* a = list; a != nullptr && !connected; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      error = std::strerror(errno);
      continue;
    }
    int result = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (result == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, limit_ms) == 1) {
        socklen_t size = sizeof result;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &size);
      } else {
        result = ETIMEDOUT;
      }
    }
    ::close(fd);
    if (result == 0) {
      connected = true;
    } else {
      error = std::strerror(result);
    }
  }
  ::freeaddrinfo(list);
  return connected;
}

ProxyRoute ProxyFor(const std::string& host) {
  ProxyRoute route;
  for (const char* name : {"http_proxy", "all_proxy", "ALL_PROXY"}) {
    route.proxy = Env(name);
    if (!route.proxy.empty()) {
      route.origin = name;
      break;
    }
  }
  if (route.proxy.empty()) return route;
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    const std::string list = Env(name);
    if (list.empty()) continue;
    if (Bypassed(host, list)) {
      route.note = std::string(name) + " names " + host;
      return route;
    }
    break;
  }
  route.used = true;
  SplitProxy(route.proxy, route.host, route.port);
  return route;
}

PortFailure ExplainPortFailure(const std::string& portName) {
  PortFailure failure;
  failure.device = iccr::ComDevicePath(portName.c_str());
  const passwd* me = ::getpwuid(::geteuid());
  const std::string user = me != nullptr ? me->pw_name : std::to_string(::geteuid());
  std::string group;
  struct stat st {};
  if (::stat(failure.device.c_str(), &st) == 0) {
    const struct group* owner = ::getgrgid(st.st_gid);
    group = owner != nullptr ? owner->gr_name : std::to_string(st.st_gid);
  }
  const int fd = ::open(failure.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  int error = fd < 0 ? errno : 0;
  if (fd >= 0) {
    if (::isatty(fd) == 0) {
      error = ENOTTY;
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      error = errno == EWOULDBLOCK ? EBUSY : errno;
    }
    ::close(fd);
  }
  failure.detail = error != 0 ? std::strerror(error) : "it opens now";
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      failure.problem = PortProblem::kMissing;
      break;
    case EBUSY: {
      failure.problem = PortProblem::kBusy;
      const std::string holder = HolderOf(failure.device);
      failure.advice = holder.empty() ? "Close the program that uses the reader."
                                      : "It is held by " + holder + ": end that program.";
      break;
    }
    case EACCES:
    case EPERM:
      failure.problem = PortProblem::kDenied;
      failure.advice = group.empty() ? "Ask for read and write rights to the device."
                                     : "The device belongs to the group " + group +
                                           "; join it with "
                                           "\"sudo usermod -aG " +
                                           group + " " + user + "\" and log in again.";
      break;
    default:
      failure.problem = PortProblem::kOther;
      break;
  }
  return failure;
}

std::string RegistryPlace() {
  std::string file = Env("TARN_REGISTRY_FILE");
  const bool named = !file.empty();
  if (!named) file = "/etc/tarn/registry.reg";
  std::string where =
      "the registry file " + file +
      (named ? " (named by TARN_REGISTRY_FILE)" : " (TARN_REGISTRY_FILE is not set)");
  if (::access(file.c_str(), F_OK) != 0) where += ", which does not exist";
  return where;
}

}  // namespace tarn::host::doctor
