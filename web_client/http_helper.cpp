#include "http_helper.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "answer_scan.h"
#include "local_files.h"
#include "text_io.h"
#include "url_parts.h"

namespace tarn::web {

namespace {

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
constexpr size_t kCheckBlock = 256 * 1024;

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

bool ParseKeyNumber(const std::string& line, std::string& key, int32_t& value) {
  KeyNumberScan scan;
  scan.Feed(line.data(), line.size());
  return scan.Finish(key, value);
}

bool ParseKeyWord(const std::string& line, std::string& key, std::string& value) {
  KeyWordScan scan;
  scan.Feed(line.data(), line.size());
  return scan.Finish(key, value);
}

bool ScanHiddenField(const std::string& line, std::string& name, std::string& value) {
  HiddenFieldScan scan;
  scan.Feed(line.data(), line.size());
  return scan.Finish(name, value);
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
                          HttpRequestBody* body, BodyTarget& target) {
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
    ok = m_session->Post(parts.host(), parts.port(), parts.path(), header_line, *body, sink, error);
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
  return Receive(url, path, false, nullptr);
}

int CHttpHelper::Receive(const std::string& url, const std::string& path, bool job_log,
                         int* check) {
  FileTarget file(path, "File open error. FileName:[" + path + "]");
  // The dump file holds answer pages by design; only data files must not be web pages.
  CheckedTarget checked(file, !SameFileName(path, m_strDumpPath));
  RecodingTarget recoded(checked);
  BodyTarget& target = job_log ? static_cast<BodyTarget&>(recoded) : checked;
  const int result = Exchange(Verb::kGet, EscapePercent(url), std::string(), nullptr, target);
  if (check != nullptr) *check = checked.result();
  return result;
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
  answer::KeyNumberScan scan;
  std::string key;
  int32_t value = 0;
  reader.ForEachLine([&](const char* data, size_t size) { scan.Feed(data, size); },
                     [&] {
                       if (scan.Finish(key, value)) {
                         for (const auto& k : kKeys) {
                           if (key == k.name) {
                             this->*k.member = value;
                             break;
                           }
                         }
                       }
                       scan.Reset();
                     });
  return kOk;
}

int CHttpHelper::ParseRightsFile() {
  m_bUserKnown = m_bUserIsAdmin = m_bAdminRight = m_bJobRight = m_bLogRight = 0;
  LineReader reader(m_strDumpPath);
  if (!reader.is_open()) {
    m_strLastError = "File open error.";
    return kHttpOrFileError;
  }
  answer::KeyWordScan scan;
  std::string key;
  std::string value;
  reader.ForEachLine([&](const char* data, size_t size) { scan.Feed(data, size); },
                     [&] {
                       if (scan.Finish(key, value)) {
                         if (key == "user") {
                           m_bUserKnown = 1;
                           if (value == "ADMIN") m_bUserIsAdmin = 1;
                         } else if (key == "target") {
                           if (value.find("ADMIN") != std::string::npos) m_bAdminRight = 1;
                           if (value.find("JOB") != std::string::npos) m_bJobRight = 1;
                           if (value.find("LOG") != std::string::npos) m_bLogRight = 1;
                         }
                       }
                       scan.Reset();
                     });
  return kOk;
}

int CHttpHelper::CheckAnswerFile(const std::string& path) {
  std::FILE* file = OpenLocalFile(path, "rb");
  if (file == nullptr) {
    m_strLastError = "File open error.";
    return kHttpOrFileError;
  }
  answer::AnswerMarkers markers(!SameFileName(path, m_strDumpPath));
  std::unique_ptr<char[]> block(new char[kCheckBlock]);
  size_t n;
  while ((n = std::fread(block.get(), 1, kCheckBlock, file)) > 0) markers.Feed(block.get(), n);
  std::fclose(file);
  return markers.result();
}

int CHttpHelper::GetDeviceStatus(const std::string& host) {
  int result = DownloadToFile("http://" + host + "/script/_userlogin/zc_auth.shp", m_strDumpPath);
  if (result > 0) return result;
  result = ParseStatusFile();
  if (result > 0) return result;
  return m_nMchiman;
}

}  // namespace tarn::web
