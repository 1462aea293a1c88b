// tarn doctor's questions to Windows.
// Winsock's headers must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>
#include <wininet.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "doctor_platform.h"
#include "serial_link.h"

namespace tarn::host::doctor {
namespace {

constexpr uint16_t kDefaultProxyPort = 80;

std::string Narrow(const wchar_t* text) {
  if (text == nullptr || *text == L'\0') return "";
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return "";
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<size_t>(size - 1));
  return out;
}

std::string SystemText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = n > 0 ? Narrow(text) : "";
  if (text != nullptr) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
    out.pop_back();
  return out.empty() ? "error " + std::to_string(code) : out;
}

class Winsock {
 public:
  Winsock() { ok_ = WSAStartup(MAKEWORD(2, 2), &data_) == 0; }
  ~Winsock() {
    if (ok_) WSACleanup();
  }
  Winsock(const Winsock&) = delete;
  Winsock& operator=(const Winsock&) = delete;

 private:
  WSADATA data_{};
  bool ok_ = false;
};

struct AddressList {
  addrinfo* list = nullptr;
  ~AddressList() {
    if (list != nullptr) freeaddrinfo(list);
  }
};

// The entry for plain HTTP in a WinINet proxy list ("host:port", or "http=host:port;...").
void SplitProxy(const std::string& proxy, std::string& host, uint16_t& port) {
  std::string entry = proxy;
  const size_t http = entry.find("http=");
  if (http != std::string::npos) entry = entry.substr(http + 5);
  const size_t end = entry.find_first_of("; ");
  if (end != std::string::npos) entry.erase(end);
  const size_t scheme = entry.find("://");
  if (scheme != std::string::npos) entry.erase(0, scheme + 3);
  const size_t slash = entry.find('/');
  if (slash != std::string::npos) entry.erase(slash);
  port = kDefaultProxyPort;
  const size_t colon = entry.rfind(':');
  if (colon != std::string::npos) {
    port = static_cast<uint16_t>(std::atoi(entry.c_str() + colon + 1));
    entry.erase(colon);
  }
  host = entry;
}

}  // namespace

bool ResolveHost(const std::string& host, std::vector<std::string>& addresses, std::string& error) {
  Winsock winsock;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  AddressList found;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found.list);
  if (rc != 0) {
    error = SystemText(static_cast<DWORD>(rc));
    return false;
  }
  for (const addrinfo* a = found.list; a != nullptr; a = a->ai_next) {
    char text[NI_MAXHOST] = {};
    if (getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), text, sizeof text, nullptr,
                    0, NI_NUMERICHOST) != 0) {
      continue;
    }
    bool known = false;
    for (const auto& seen : addresses) known = known || seen == text;
    if (!known) addresses.emplace_back(text);
  }
  return true;
}

bool TryConnect(const std::string& host, uint16_t port, int limit_ms, std::string& error) {
  Winsock winsock;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  AddressList found;
  const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found.list);
  if (rc != 0) {
    error = SystemText(static_cast<DWORD>(rc));
    return false;
  }
  error = "no address";
  for (const addrinfo* a = found.list; a != nullptr; a = a->ai_next) {
    const SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      error = SystemText(static_cast<DWORD>(WSAGetLastError()));
      continue;
    }
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    int result =
        connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 ? 0 : WSAGetLastError();
    if (result == WSAEWOULDBLOCK) {
      fd_set writable;
      fd_set failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval limit{limit_ms / 1000, (limit_ms % 1000) * 1000};
      if (select(0, nullptr, &writable, &failed, &limit) <= 0) {
        result = WSAETIMEDOUT;
      } else if (FD_ISSET(s, &failed)) {
        int size = sizeof result;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&result), &size);
        if (result == 0) result = WSAECONNREFUSED;
      } else {
        result = 0;
      }
    }
    closesocket(s);
    if (result == 0) return true;
    error = SystemText(static_cast<DWORD>(result));
  }
  return false;
}

// WinINet's bypass list: entries split by ";" or white space, "*" as a wildcard, any case, and
// "<local>" for names without a dot.
static bool Bypassed(const std::string& list, const std::string& host) {
  const auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  const std::string name = lower(host);
  const std::function<bool(const char*, const char*)> matches = [&](const char* p, const char* t) {
    if (*p == '\0') return *t == '\0';
    if (*p == '*') return matches(p + 1, t) || (*t != '\0' && matches(p, t + 1));
    return *p == *t && matches(p + 1, t + 1);
  };
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find_first_of("; \t", start);
    if (end == std::string::npos) end = list.size();
    const std::string entry = lower(list.substr(start, end - start));
    start = end + 1;
    if (entry.empty()) continue;
    if (entry == "<local>" ? name.find('.') == std::string::npos
                           : matches(entry.c_str(), name.c_str())) {
      return true;
    }
  }
  return false;
}

ProxyRoute ProxyFor(const std::string& host) {
  ProxyRoute route;
  route.origin = "the system's Internet Settings";
  // A session opened as the web client opens its own shows the proxy it would take.
  const HINTERNET session =
      InternetOpenA(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (session == nullptr) return route;
  DWORD size = 0;
  InternetQueryOptionA(session, INTERNET_OPTION_PROXY, nullptr, &size);
  if (size >= sizeof(INTERNET_PROXY_INFO)) {
    auto buffer = std::make_unique<unsigned char[]>(size);
    if (InternetQueryOptionA(session, INTERNET_OPTION_PROXY, buffer.get(), &size)) {
      const auto* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.get());
      if (info->dwAccessType == INTERNET_OPEN_TYPE_PROXY) {
        const auto* proxy = reinterpret_cast<const char*>(info->lpszProxy);
        const auto* bypass = reinterpret_cast<const char*>(info->lpszProxyBypass);
        route.proxy = proxy != nullptr ? proxy : "";
        const std::string list = bypass != nullptr ? bypass : "";
        if (Bypassed(list, host)) {
          route.note = "the bypass list " + list + " names " + host;
        } else if (!route.proxy.empty()) {
          route.used = true;
          SplitProxy(route.proxy, route.host, route.port);
        }
      }
    }
  }
  InternetCloseHandle(session);
  return route;
}

PortFailure ExplainPortFailure(const std::string& portName) {
  PortFailure failure;
  failure.device = iccr::ComDevicePath(portName.c_str());
  const HANDLE port =
      CreateFileA(failure.device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  const DWORD error = port == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
  failure.detail = error != 0 ? SystemText(error) : "it opens now";
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      failure.problem = PortProblem::kMissing;
      break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:  // Wine's answer for a device that another program holds locked
    case ERROR_BUSY:
      failure.problem = PortProblem::kBusy;
      failure.advice = "Close the program that uses the reader.";
      break;
    case ERROR_ACCESS_DENIED:
      failure.problem = PortProblem::kDenied;
      // Windows refuses a port that another program holds with this very code.
      failure.advice =
          "On Windows this also means that another program holds the port: close "
          "it, or ask for the rights to the port.";
      break;
    default:
      failure.problem = PortProblem::kOther;
      break;
  }
  return failure;
}

std::string RegistryPlace() {
  return "the Windows registry";
}

}  // namespace tarn::host::doctor
