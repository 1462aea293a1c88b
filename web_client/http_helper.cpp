#include "http_helper.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "local_files.h"
#include "text_io.h"
#include "url_parts.h"

namespace tarn::web {

namespace {

constexpr size_t kMaxField = 255;

struct StatusEntry {
  uint32_t code;
  const char* text;
};

constexpr StatusEntry kStatusTexts[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Time-out"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Large"},
    {414, "Request-URI Too Large"},
    {415, "Unsupported Media Type"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Time-out"},
    {505, "HTTP Version not supported"},
};

constexpr size_t kMaxErrorText = 511;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Passes the status code on and hands a 200 answer's body to the target.
class TargetSink final : public HttpAnswerSink {
 public:
  explicit TargetSink(BodyTarget& target) : target_(target) {}

  bool OnStatus(unsigned code) override {
    code_ = code;
    has_status_ = true;
    if (code != 200) return false;
    if (!target_.Open()) {
      target_failed_ = true;
      return false;
    }
    open_ = true;
    return true;
  }
  bool OnBody(const char* data, size_t size) override {
    if (!target_.Write(data, size)) {
      target_failed_ = true;
      return false;
    }
    return true;
  }

  unsigned code_ = 0;
  bool has_status_ = false;
  bool open_ = false;
  bool target_failed_ = false;

 private:
  BodyTarget& target_;
};

}  // namespace

// --- answer line parsers -------------------------------------------------------------

namespace answer {

namespace {

// The key of "%[^=]=": one or more bytes up to the first "=", which must follow.
bool TakeKey(const std::string& line, std::string& key, size_t& pos) {
  const size_t eq = line.find('=');
  if (eq == std::string::npos || eq == 0 || eq > kMaxField) return false;
  key.assign(line, 0, eq);
  pos = eq + 1;
  return true;
}

}  // namespace

bool ParseKeyNumber(const std::string& line, std::string& key, int32_t& value) {
  size_t pos = 0;
  if (!TakeKey(line, key, pos)) return false;
  while (pos < line.size() && IsSpace(line[pos])) ++pos;
  bool negative = false;
  if (pos < line.size() && (line[pos] == '+' || line[pos] == '-')) {
    negative = line[pos] == '-';
    ++pos;
  }
  if (pos >= line.size() || line[pos] < '0' || line[pos] > '9') return false;
  // Saturate rather than overflow on absurd numbers.
  int64_t number = 0;
  for (; pos < line.size() && line[pos] >= '0' && line[pos] <= '9'; ++pos) {
    if (number <= INT32_MAX) number = number * 10 + (line[pos] - '0');
  }
  if (negative) number = -number;
  if (number > INT32_MAX) number = INT32_MAX;
  if (number < INT32_MIN) number = INT32_MIN;
  value = static_cast<int32_t>(number);
  return true;
}

bool ParseKeyWord(const std::string& line, std::string& key, std::string& value) {
  size_t pos = 0;
  if (!TakeKey(line, key, pos)) return false;
  while (pos < line.size() && IsSpace(line[pos])) ++pos;
  const size_t start = pos;
  while (pos < line.size() && !IsSpace(line[pos])) ++pos;
  if (pos == start || pos - start > kMaxField) return false;
  value.assign(line, start, pos - start);
  return true;
}

bool ScanHiddenField(const std::string& line, std::string& name, std::string& value) {
  const size_t n = line.size();
  size_t pos = 0;
  auto skip_space = [&] {
    while (pos < n && IsSpace(line[pos])) ++pos;
  };
  // Two blank-separated tokens: the tag name and the attribute before name=.
  for (int token = 0; token < 2; ++token) {
    skip_space();
    const size_t start = pos;
    while (pos < n && !IsSpace(line[pos])) ++pos;
    if (pos == start) return false;
  }
  skip_space();
  static const char kNameAttr[] = "name=\"";
  if (line.compare(pos, sizeof kNameAttr - 1, kNameAttr) != 0) return false;
  pos += sizeof kNameAttr - 1;
  size_t start = pos;
  while (pos < n && line[pos] != '"') ++pos;
  if (pos == start) return false;
  const size_t name_start = start;
  const size_t name_length = pos - start;
  skip_space();
  start = pos;
  while (pos < n && line[pos] != '=') ++pos;
  if (pos == start || pos >= n) return false;
  ++pos;  // "="
  if (pos >= n || line[pos] != '"') return false;
  ++pos;
  start = pos;
  while (pos < n && line[pos] != '"') ++pos;
  if (pos == start) return false;
  // Over-long fields are skipped whole rather than cut to a value the page never held.
  if (name_length > kMaxField || pos - start > kMaxField) return false;
  name.assign(line, name_start, name_length);
  value.assign(line, start, pos - start);
  return true;
}

}  // namespace answer

// --- the object ----------------------------------------------------------------------

CHttpHelper::CHttpHelper(int bUseProxy) : CHttpHelper(bUseProxy, CreateHttpSession()) {}

CHttpHelper::CHttpHelper(int bUseProxy, std::unique_ptr<HttpSession> session)
    : m_session(std::move(session)), m_strDumpPath(DumpFilePath()) {
  ApplyProxySetting(bUseProxy);
}

CHttpHelper::~CHttpHelper() = default;

void CHttpHelper::ApplyProxySetting(int bUseProxy) {
  m_session->SetUseProxy(bUseProxy != 0);
}

int CHttpHelper::SetCredentials(const std::string& user, const std::string& password) {
  m_strUser = user;
  m_strPassword = password;
  return 0;
}

int CHttpHelper::GetLastErrorText(std::string& out) const {
  out = m_strLastError;
  return 0;
}

std::string CHttpHelper::GetStatusText(uint32_t code) {
  for (const auto& entry : kStatusTexts) {
    if (entry.code == code) return entry.text;
  }
  return "Undefined";
}

int CHttpHelper::Exchange(Verb verb, const std::string& url, const std::string& header_line,
                          const std::string& body, BodyTarget& target) {
  CUrlParts parts;
  parts.Split(url);
  // Without a host the HTTP layer would read part of the path as one, or hand the request to
  // a proxy: nothing may leave for a machine that the caller did not name.
  if (parts.host().empty()) {
    m_strLastError = ("No host name in the address [" + url + "].").substr(0, kMaxErrorText);
    return kHttpOrFileError;
  }
  TargetSink sink(target);
  std::string error;
  bool ok = false;
  if (verb == Verb::kGet) {
    ok = m_session->Get(url, sink, error);
  } else {
    ok = m_session->Post(parts.host(), parts.port(), parts.path(), header_line, body, sink, error);
  }
  if (sink.has_status_) {
    m_strStatusLine = std::to_string(sink.code_) + " " + GetStatusText(sink.code_);
  }
  const bool complete = ok && !sink.target_failed_;
  bool closed = true;
  if (sink.open_ && complete) {
    closed = target.Close();
  } else if (sink.open_) {
    target.Abort();
  }
  if (sink.target_failed_ || !closed) {
    m_strLastError = target.ErrorText();
    return kHttpOrFileError;
  }
  if (!ok) {
    m_strLastError = error.substr(0, kMaxErrorText);
    return kHttpOrFileError;
  }
  if (!sink.has_status_) {
    m_strLastError = "The server sent no answer.";
    return kHttpOrFileError;
  }
  if (sink.code_ != 200) {
    m_strLastError = m_strStatusLine;
    return kHttpStatus;
  }
  return kOk;
}

int CHttpHelper::DownloadToFile(const std::string& url, const std::string& path) {
  FileTarget target(path, "File open error. FileName:[" + path + "]");
  return Exchange(Verb::kGet, EscapePercent(url), std::string(), std::string(), target);
}

int CHttpHelper::ParseStatusFile() {
  m_nMchiman = m_nAuthCpy = m_nAuthDli = m_nAuthFle = m_nAuthPrt = m_nIcCardOperation = 0;
  LineReader reader(m_strDumpPath);
  if (!reader.is_open()) {
    m_strLastError = "File open error.";
    return kHttpOrFileError;
  }
  struct Key {
    const char* name;
    int32_t CHttpHelper::*member;
  };
  static const Key kKeys[] = {{"mchiman", &CHttpHelper::m_nMchiman},
                              {"authcpy", &CHttpHelper::m_nAuthCpy},
                              {"authdli", &CHttpHelper::m_nAuthDli},
                              {"authfle", &CHttpHelper::m_nAuthFle},
                              {"authprt", &CHttpHelper::m_nAuthPrt},
                              {"iccard_operation", &CHttpHelper::m_nIcCardOperation}};
  std::string line;
  std::string key;
  int32_t value = 0;
  while (reader.ReadLine(line)) {
    if (!answer::ParseKeyNumber(line, key, value)) continue;
    for (const auto& k : kKeys) {
      if (key == k.name) {
        this->*k.member = value;
        break;
      }
    }
  }
  return kOk;
}

int CHttpHelper::ParseRightsFile() {
  m_bUserKnown = m_bUserIsAdmin = m_bAdminRight = m_bJobRight = m_bLogRight = 0;
  LineReader reader(m_strDumpPath);
  if (!reader.is_open()) {
    m_strLastError = "File open error.";
    return kHttpOrFileError;
  }
  std::string line;
  std::string key;
  std::string value;
  while (reader.ReadLine(line)) {
    if (!answer::ParseKeyWord(line, key, value)) continue;
    if (key == "user") {
      m_bUserKnown = 1;
      if (value == "ADMIN") m_bUserIsAdmin = 1;
    } else if (key == "target") {
      if (value.find("ADMIN") != std::string::npos) m_bAdminRight = 1;
      if (value.find("JOB") != std::string::npos) m_bJobRight = 1;
      if (value.find("LOG") != std::string::npos) m_bLogRight = 1;
    }
  }
  return kOk;
}

int CHttpHelper::CheckAnswerFile(const std::string& path) {
  LineReader reader(path);
  if (!reader.is_open()) {
    m_strLastError = "File open error.";
    return kHttpOrFileError;
  }
  // The dump file holds answer pages by design; only data files must not be web pages.
  const bool is_data = !SameFileName(path, m_strDumpPath);
  int result = kOk;
  std::string line;
  while (reader.ReadLine(line)) {
    if (is_data && line.find("<html>") != std::string::npos) result = kWebPage;
    if (line.find("Zephyrcastle NG") != std::string::npos) result = kFailureMark;
  }
  return result;
}

int CHttpHelper::GetDeviceStatus(const std::string& host) {
  int result = DownloadToFile("http://" + host + "/script/_userlogin/zc_auth.shp", m_strDumpPath);
  if (result > 0) return result;
  result = ParseStatusFile();
  if (result > 0) return result;
  return m_nMchiman;
}

}  // namespace tarn::web
