// libcurl: one easy handle per session, so connections and cookies live exactly as long as
// the session object.
#include <curl/curl.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>

#include "http_session.h"

namespace tarn::web {

namespace {

constexpr long kConnectTimeoutSeconds = 60;
constexpr long kStallTimeoutSeconds = 30;
// Fewer, larger pieces for the sinks and the disk; the memory stays small and fixed.
constexpr long kTransferBlock = 256 * 1024;

void GlobalInitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
  using Clock = std::chrono::steady_clock;
  CURL* curl = nullptr;
  Clock::time_point last_move = Clock::now();
  curl_off_t moved = -1;   // bytes received and sent so far, as last seen
  bool connected = false;  // until then the connect limit rules
  bool stalled = false;
  HttpAnswerSink* sink = nullptr;
  HttpRequestBody* body = nullptr;  // null for a GET
  bool body_failed = false;         // the body could not be sent as announced
  bool status_delivered = false;
  bool declined = false;      // the sink did not want the body, or abandoned it
  std::exception_ptr thrown;  // carried past libcurl's C frames, rethrown after the request

  bool DeliverStatus() {
    if (status_delivered) return !declined;
    status_delivered = true;
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (!sink->OnStatus(static_cast<unsigned>(code))) declined = true;
    return !declined;
  }
};

size_t OnWrite(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  try {
    if (!t->DeliverStatus()) return CURL_WRITEFUNC_ERROR;
    if (bytes > 0 && !t->sink->OnBody(data, bytes)) {
      t->declined = true;
      return CURL_WRITEFUNC_ERROR;
    }
  } catch (...) {
    t->thrown = std::current_exception();
    t->declined = true;
    return CURL_WRITEFUNC_ERROR;
  }
  return bytes;
}

size_t OnRead(char* buffer, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  if (t->body == nullptr) return 0;
  size_t got = 0;
  try {
    if (t->body->Read(buffer, size * count, got)) return got;
  } catch (...) {
    t->thrown = std::current_exception();
  }
  // Ends the request before its body is complete: nothing that disagrees with the announced
  // length goes out.
  t->body_failed = true;
  return CURL_READFUNC_ABORT;
}

// A request sent again on a new connection starts its body over.
int OnSeek(void* user, curl_off_t offset, int origin) {
  auto* t = static_cast<Transfer*>(user);
  if (t->body == nullptr || offset != 0 || origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
  try {
    return t->body->Rewind() ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
  } catch (...) {
    t->thrown = std::current_exception();
    return CURL_SEEKFUNC_FAIL;
  }
}

int OnProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
  auto* t = static_cast<Transfer*>(user);
  const auto now = Transfer::Clock::now();
  if (!t->connected || received + sent != t->moved) {
    t->moved = received + sent;
    t->last_move = now;
    return 0;
  }
  if (now - t->last_move < std::chrono::seconds(kStallTimeoutSeconds)) return 0;
  t->stalled = true;
  return 1;  // aborts the transfer
}

// Header lines count as bytes that moved; the progress figures count only the body.
size_t OnHeader(char*, size_t size, size_t count, void* user) {
  static_cast<Transfer*>(user)->last_move = Transfer::Clock::now();
  return size * count;
}

// Called once the connection stands (new or reused), just before the request goes out.
int OnConnected(void* user, char*, char*, int, int) {
  auto* t = static_cast<Transfer*>(user);
  t->connected = true;
  t->last_move = Transfer::Clock::now();
  return CURL_PREREQFUNC_OK;
}

class CurlSession final : public HttpSession {
 public:
  CurlSession() {
    GlobalInitOnce();
    curl_ = curl_easy_init();
    if (curl_ == nullptr) return;
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_COOKIEFILE, "");  // cookie engine on, nothing loaded
    curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl_, CURLOPT_MAXREDIRS, 10L);
    // A redirect must not lead to FTP or a file.
    curl_easy_setopt(curl_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    // libcurl's low-speed limit would also end a slow answer that still moves: the request
    // ends only once no byte has moved for the whole stall time.
    curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(curl_, CURLOPT_PREREQFUNCTION, &OnConnected);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, error_buffer_);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &OnWrite);
    curl_easy_setopt(curl_, CURLOPT_READFUNCTION, &OnRead);
    curl_easy_setopt(curl_, CURLOPT_SEEKFUNCTION, &OnSeek);
    curl_easy_setopt(curl_, CURLOPT_BUFFERSIZE, kTransferBlock);
    curl_easy_setopt(curl_, CURLOPT_UPLOAD_BUFFERSIZE, kTransferBlock);
  }
  ~CurlSession() override {
    if (curl_ != nullptr) curl_easy_cleanup(curl_);
  }
  CurlSession(const CurlSession&) = delete;
  CurlSession& operator=(const CurlSession&) = delete;

  void SetUseProxy(bool use_proxy) override {
    if (curl_ == nullptr) return;
    // Null restores libcurl's own choice from the environment; "" means no proxy at all.
    curl_easy_setopt(curl_, CURLOPT_PROXY, use_proxy ? nullptr : "");
  }

  bool Get(const std::string& url, HttpAnswerSink& sink, std::string& error) override {
    if (curl_ == nullptr) return NoHandle(error);
    curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
    HeaderList headers;
    headers.Add("Accept:");
    return Perform(url, headers, sink, error);
  }

  bool Post(const std::string& host, uint16_t port, const std::string& path,
            const std::string& header_line, HttpRequestBody& body, HttpAnswerSink& sink,
            std::string& error) override {
    if (curl_ == nullptr) return NoHandle(error);
    HeaderList headers;
    headers.Add(header_line.c_str());
    headers.Add("Expect:");
    headers.Add("Accept:");
    // Port 0 names none: the default HTTP port, as for the GETs.
    const std::string url = "http://" + host + ":" + std::to_string(port == 0 ? 80 : port) + path;
    curl_easy_setopt(curl_, CURLOPT_POST, 1L);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    return Perform(url, headers, sink, error, &body);
  }

 private:
  class HeaderList {
   public:
    HeaderList() = default;
    ~HeaderList() { curl_slist_free_all(list_); }
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;
    void Add(const char* line) {
      curl_slist* longer = curl_slist_append(list_, line);
      if (longer == nullptr) throw std::bad_alloc();
      list_ = longer;
    }
    curl_slist* get() const { return list_; }

   private:
    curl_slist* list_ = nullptr;
  };

  bool Perform(const std::string& url, const HeaderList& headers, HttpAnswerSink& sink,
               std::string& error, HttpRequestBody* body = nullptr) {
    Transfer transfer;
    transfer.curl = curl_;
    transfer.sink = &sink;
    transfer.body = body;
    error_buffer_[0] = 0;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl_, CURLOPT_PREREQDATA, &transfer);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(curl_, CURLOPT_READDATA, &transfer);
    curl_easy_setopt(curl_, CURLOPT_SEEKDATA, &transfer);
    const CURLcode rc = curl_easy_perform(curl_);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);
    if (transfer.thrown) std::rethrow_exception(transfer.thrown);
    if (rc == CURLE_OK) {
      transfer.DeliverStatus();  // an empty body brings no write call
      return true;
    }
    if (rc == CURLE_WRITE_ERROR && transfer.declined) return true;
    if (transfer.body_failed) {
      error = body->ErrorText();
      return false;
    }
    if (transfer.stalled) {
      error = "No data arrived for " + std::to_string(kStallTimeoutSeconds) + " seconds.";
      return false;
    }
    // libcurl reports a header line longer than it keeps as lack of memory.
    if (rc == CURLE_OUT_OF_MEMORY && !transfer.status_delivered) {
      error = "The answer's header is too long, or memory ran out.";
      return false;
    }
    error = error_buffer_[0] != 0 ? error_buffer_ : curl_easy_strerror(rc);
    return false;
  }

  static bool NoHandle(std::string& error) {
    error = "The HTTP session could not be created.";
    return false;
  }

  CURL* curl_ = nullptr;
  char error_buffer_[CURL_ERROR_SIZE] = {};
};

}  // namespace

std::unique_ptr<HttpSession> CreateHttpSession() {
  return std::make_unique<CurlSession>();
}

}  // namespace tarn::web
