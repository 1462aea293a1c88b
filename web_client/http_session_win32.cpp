// WinINet: one Internet session per object. WinINet keeps cookies per process and answers
// GETs from its cache, so every request skips both and the object carries its own cookies.
// Each request opens a connection handle of its own that carries the time limits too (WinINet
// still reuses the socket under it): Wine applies them from the connection handle, not from
// the session, so a request opened by InternetOpenUrl would wait for a silent server for ever.
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "cookie_jar.h"
#include "http_session.h"

namespace tarn::web {

namespace {

constexpr DWORD kConnectTimeoutMs = 60000;
constexpr DWORD kSendTimeoutMs = 30000;
constexpr DWORD kReceiveTimeoutMs = 30000;
constexpr DWORD_PTR kContext = 1;
constexpr size_t kMaxErrorText = 511;
constexpr DWORD kReadBlock = 256 * 1024;
constexpr size_t kWriteBlock = 256 * 1024;
constexpr int kMaxRedirects = 10;

// No cache in either direction, no process-wide cookies, no dialogs in the host program.
// Redirects are followed here: Wine follows a redirect loop for ever.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_COOKIES |
                                INTERNET_FLAG_NO_UI | INTERNET_FLAG_KEEP_CONNECTION |
                                INTERNET_FLAG_NO_AUTO_REDIRECT;

class Handle {
 public:
  explicit Handle(HINTERNET h = nullptr) : h_(h) {}
  ~Handle() {
    if (h_ != nullptr) InternetCloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HINTERNET get() const { return h_; }
  void reset(HINTERNET h = nullptr) {
    if (h_ != nullptr) InternetCloseHandle(h_);
    h_ = h;
  }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HINTERNET h_;
};

std::wstring WideFromOem(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_OEMCP, 0, text.data(), size, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_OEMCP, 0, text.data(), size, &wide[0], n);
  return wide;
}

std::string OemFromWide(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_OEMCP, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string text(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_OEMCP, 0, wide.data(), size, &text[0], n, nullptr, nullptr);
  return text;
}

// The system's message for a WinINet error code, in the narrow form the object keeps.
std::string ErrorText(DWORD code) {
  wchar_t buffer[kMaxErrorText + 1] = {};
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      GetModuleHandleW(L"wininet.dll"), code, 0, buffer, static_cast<DWORD>(kMaxErrorText + 1),
      nullptr);
  while (n > 0 && (buffer[n - 1] == L'\r' || buffer[n - 1] == L'\n' || buffer[n - 1] == L' ')) {
    --n;
  }
  std::string text = OemFromWide(std::wstring(buffer, n));
  if (text.empty()) {
    char fallback[64];
    std::snprintf(fallback, sizeof fallback, "WinINet error %lu.",
                  static_cast<unsigned long>(code));
    text = fallback;
  }
  if (text.size() > kMaxErrorText) text.resize(kMaxErrorText);
  return text;
}

bool Fail(std::string& error) {
  DWORD code = GetLastError();
  // Wine passes a body read's time-out on as the socket's code, which has no text there.
  if (code == WSAETIMEDOUT) code = ERROR_INTERNET_TIMEOUT;
  error = ErrorText(code);
  return false;
}

class WinInetSession final : public HttpSession {
 public:
  WinInetSession() { Open(INTERNET_OPEN_TYPE_PRECONFIG); }

  void SetUseProxy(bool use_proxy) override {
    // Pre-configured access is the platform's proxy, as the session was opened.
    const DWORD access = use_proxy ? INTERNET_OPEN_TYPE_PRECONFIG : INTERNET_OPEN_TYPE_DIRECT;
    INTERNET_PROXY_INFO info{};
    info.dwAccessType = access;
    if (session_ && InternetSetOptionW(session_.get(), INTERNET_OPTION_PROXY, &info, sizeof info)) {
      return;
    }
    // Wine takes this option only process-wide, which would reach the host program's own
    // WinINet use too: a session opened with the access type has the same effect.
    Open(access);
  }

  bool Get(const std::string& url, HttpAnswerSink& sink, std::string& error) override {
    if (!session_) return NoSession(error);
    return SendTo(L"GET", url, std::wstring(), nullptr, sink, error, 0);
  }

  bool Post(const std::string& host, uint16_t port, const std::string& path,
            const std::string& header_line, HttpRequestBody& body, HttpAnswerSink& sink,
            std::string& error) override {
    if (!session_) return NoSession(error);
    const INTERNET_PORT server_port = port == 0 ? INTERNET_DEFAULT_HTTP_PORT : port;
    const std::string url = "http://" + host + ":" + std::to_string(server_port) + path;
    return Send(L"POST", 0, WideFromOem(host), server_port, WideFromOem(path),
                WideFromOem(header_line) + L"\r\n", &body, url, sink, error, 0);
  }

 private:
  void Open(DWORD access) {
    session_.reset(InternetOpenW(nullptr, access, nullptr, nullptr, 0));
    if (session_) SetTimeouts(session_.get());
  }

  // WinINet's own limits are undocumented and have been as long as an hour.
  static void SetTimeouts(HINTERNET handle) {
    const std::pair<DWORD, DWORD> limits[] = {
        {INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeoutMs},
        {INTERNET_OPTION_SEND_TIMEOUT, kSendTimeoutMs},
        {INTERNET_OPTION_RECEIVE_TIMEOUT, kReceiveTimeoutMs},
        {INTERNET_OPTION_DATA_SEND_TIMEOUT, kSendTimeoutMs},
        {INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, kReceiveTimeoutMs}};
    for (auto limit : limits) InternetSetOptionW(handle, limit.first, &limit.second, sizeof(DWORD));
  }

  // A request to an absolute address; GETs go as text transfers.
  bool SendTo(const wchar_t* verb, const std::string& url, const std::wstring& header_lines,
              HttpRequestBody* body, HttpAnswerSink& sink, std::string& error, int hops) {
    const std::wstring wide_url = WideFromOem(url);
    std::vector<wchar_t> host(INTERNET_MAX_HOST_NAME_LENGTH + 1);
    std::vector<wchar_t> object(wide_url.size() + 1);
    std::vector<wchar_t> extra(wide_url.size() + 1);
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host.data();
    parts.dwHostNameLength = static_cast<DWORD>(host.size());
    parts.lpszUrlPath = object.data();
    parts.dwUrlPathLength = static_cast<DWORD>(object.size());
    parts.lpszExtraInfo = extra.data();
    parts.dwExtraInfoLength = static_cast<DWORD>(extra.size());
    if (!InternetCrackUrlW(wide_url.c_str(), 0, 0, &parts)) return Fail(error);
    std::wstring target = std::wstring(object.data()) + extra.data();
    if (target.empty()) target = L"/";
    // A redirect may name any scheme; only HTTP is spoken here.
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
      error = "The address is not an HTTP address [" + url + "].";
      return false;
    }
    DWORD flags = std::wcscmp(verb, L"GET") == 0 ? INTERNET_FLAG_TRANSFER_ASCII : 0;
    // A redirect may lead to https.
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
    return Send(verb, flags, host.data(), parts.nPort, target, header_lines, body, url, sink, error,
                hops);
  }

  // One request on a connection handle of its own; `url` names it for the cookies.
  bool Send(const wchar_t* verb, DWORD flags, const std::wstring& host, INTERNET_PORT port,
            const std::wstring& object, const std::wstring& header_lines, HttpRequestBody* body,
            const std::string& url, HttpAnswerSink& sink, std::string& error, int hops) {
    Handle connection(InternetConnectW(session_.get(), host.c_str(), port, nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, kContext));
    if (!connection) return Fail(error);
    SetTimeouts(connection.get());
    Handle request(HttpOpenRequestW(connection.get(), verb, object.c_str(), L"HTTP/1.1", nullptr,
                                    nullptr, kRequestFlags | flags, kContext));
    if (!request) return Fail(error);
    const std::wstring headers = header_lines + CookieHeader(url);
    if (body == nullptr) {
      if (!HttpSendRequestW(request.get(), headers.empty() ? nullptr : headers.c_str(),
                            static_cast<DWORD>(headers.size()), nullptr, 0)) {
        return Fail(error);
      }
    } else if (!SendBody(request.get(), headers, *body, error)) {
      return false;
    }
    if (!Plausible(request.get(), error)) return false;
    DWORD code = 0;
    std::string next;
    if (Redirected(request.get(), url, code, next)) {
      TakeCookies(request.get(), url);
      // The next hop does not hold this one's socket open.
      request.reset();
      connection.reset();
      if (hops >= kMaxRedirects) {
        error = "More than " + std::to_string(kMaxRedirects) + " redirects.";
        return false;
      }
      // As libcurl does: 307 and 308 repeat the request, the others fetch the new address.
      if (code == 307 || code == 308) {
        if (body != nullptr && !body->Rewind()) {
          error = body->ErrorText();
          return false;
        }
        return SendTo(verb, next, header_lines, body, sink, error, hops + 1);
      }
      return SendTo(L"GET", next, std::wstring(), nullptr, sink, error, hops + 1);
    }
    return Answer(request.get(), url, sink, error);
  }

  // The body goes out in blocks behind a length announced first. A body that cannot be read
  // as announced ends the request unfinished: closing its handle drops the connection.
  static bool SendBody(HINTERNET request, const std::wstring& headers, HttpRequestBody& body,
                       std::string& error) {
    if (body.size() > MAXDWORD) {
      error = "The request body is too large.";
      return false;
    }
    INTERNET_BUFFERSW buffers{};
    buffers.dwStructSize = sizeof buffers;
    buffers.lpcszHeader = headers.empty() ? nullptr : headers.c_str();
    buffers.dwHeadersLength = static_cast<DWORD>(headers.size());
    buffers.dwBufferTotal = static_cast<DWORD>(body.size());
    if (!HttpSendRequestExW(request, &buffers, nullptr, 0, kContext)) return Fail(error);
    std::vector<char> block(kWriteBlock);
    for (;;) {
      size_t got = 0;
      if (!body.Read(block.data(), block.size(), got)) {
        error = body.ErrorText();
        Abandon(request);
        return false;
      }
      if (got == 0) break;
      for (size_t sent = 0; sent < got;) {
        DWORD written = 0;
        if (!InternetWriteFile(request, block.data() + sent, static_cast<DWORD>(got - sent),
                               &written) ||
            written == 0) {
          return Fail(error);
        }
        sent += written;
      }
    }
    if (!HttpEndRequestW(request, nullptr, 0, kContext)) return Fail(error);
    return true;
  }

  // WinINet would hand the connection of an unfinished request to the next one, whose bytes
  // the server would then take for the rest of this body: the request is ended at once so that
  // the connection fails and is dropped.
  static void Abandon(HINTERNET request) {
    const DWORD shortest = 1;
    InternetSetOptionW(request, INTERNET_OPTION_RECEIVE_TIMEOUT, const_cast<DWORD*>(&shortest),
                       sizeof shortest);
    HttpEndRequestW(request, nullptr, 0, kContext);
  }

  // Wine takes bytes without a status line for an answer "HTTP/1.0 200 OK" without any header
  // line, and the bytes for its body; every real answer carries at least one header line.
  static bool Plausible(HINTERNET request, std::string& error) {
    DWORD code = 0;
    DWORD size = sizeof code;
    // Wine's HttpEndRequest reports a server that never answered as success, status 0.
    if (HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size,
                       nullptr) &&
        code == 0) {
      error = ErrorText(ERROR_HTTP_INVALID_SERVER_RESPONSE);
      return false;
    }
    DWORD bytes = 0;
    HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &bytes, nullptr);
    std::vector<wchar_t> raw(bytes / sizeof(wchar_t) + 1);
    bytes = static_cast<DWORD>(raw.size() * sizeof(wchar_t));
    if (!HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, raw.data(), &bytes, nullptr)) {
      return Fail(error);
    }
    const std::wstring headers(raw.data(), bytes / sizeof(wchar_t));
    const size_t end = headers.find(L"\r\n");
    if (headers.rfind(L"HTTP/1.", 0) == 0 && end != std::wstring::npos &&
        headers.compare(end, std::wstring::npos, L"\r\n\r\n") != 0 && end + 2 < headers.size()) {
      return true;
    }
    error = "The answer has no HTTP status line.";
    return false;
  }

  // Whether the answer sends the request elsewhere, and where to (`url` resolves it).
  static bool Redirected(HINTERNET request, const std::string& url, DWORD& code,
                         std::string& next) {
    DWORD size = sizeof code;
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size,
                        nullptr)) {
      return false;
    }
    if (code != 301 && code != 302 && code != 303 && code != 307 && code != 308) return false;
    std::vector<wchar_t> location(INTERNET_MAX_URL_LENGTH + 1);
    DWORD bytes = static_cast<DWORD>(location.size() * sizeof(wchar_t));
    if (!HttpQueryInfoW(request, HTTP_QUERY_LOCATION, location.data(), &bytes, nullptr)) {
      return false;
    }
    std::vector<wchar_t> combined(INTERNET_MAX_URL_LENGTH + 1);
    DWORD length = static_cast<DWORD>(combined.size());
    if (!InternetCombineUrlW(WideFromOem(url).c_str(), location.data(), combined.data(), &length,
                             ICU_NO_ENCODE)) {
      return false;
    }
    next = OemFromWide(std::wstring(combined.data(), length));
    return true;
  }

  std::wstring CookieHeader(const std::string& url) const {
    const std::string cookies = jar_.HeaderFor(url);
    if (cookies.empty()) return std::wstring();
    return L"Cookie: " + WideFromOem(cookies) + L"\r\n";
  }

  // Takes the answer's cookies, hands its status and body to the sink.
  bool Answer(HINTERNET request, const std::string& url, HttpAnswerSink& sink, std::string& error) {
    DWORD code = 0;
    DWORD size = sizeof code;
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size,
                        nullptr)) {
      return Fail(error);
    }
    TakeCookies(request, url);
    if (!sink.OnStatus(code)) return true;
    // WinINet reports a connection closed early as the body's end: the length tells.
    wchar_t length_text[32] = {};
    DWORD length_size = sizeof length_text;
    const bool has_length =
        HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, length_text, &length_size, nullptr) != 0;
    const unsigned long long expected = has_length ? std::wcstoull(length_text, nullptr, 10) : 0;
    unsigned long long received = 0;
    std::vector<char> buffer(kReadBlock);
    for (;;) {
      DWORD read = 0;
      if (!InternetReadFile(request, buffer.data(), kReadBlock, &read)) return Fail(error);
      if (read == 0) break;
      received += read;
      if (!sink.OnBody(buffer.data(), read)) return true;
    }
    if (has_length && received < expected) {
      error = "The connection closed before the whole answer arrived.";
      return false;
    }
    return true;
  }

  void TakeCookies(HINTERNET request, const std::string& url) {
    for (DWORD index = 0;;) {
      const DWORD before = index;
      std::vector<wchar_t> value(1024);
      DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
      if (!HttpQueryInfoW(request, HTTP_QUERY_SET_COOKIE, value.data(), &bytes, &index)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return;
        value.resize(bytes / sizeof(wchar_t) + 1);
        bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        if (!HttpQueryInfoW(request, HTTP_QUERY_SET_COOKIE, value.data(), &bytes, &index)) return;
      }
      jar_.Take(url, OemFromWide(std::wstring(value.data(), bytes / sizeof(wchar_t))));
      if (index == before) return;  // a layer that does not advance would loop forever
    }
  }

  static bool NoSession(std::string& error) {
    error = "The HTTP session could not be created.";
    return false;
  }

  Handle session_;
  CookieJar jar_;
};

}  // namespace

std::unique_ptr<HttpSession> CreateHttpSession() {
  return std::make_unique<WinInetSession>();
}

}  // namespace tarn::web
