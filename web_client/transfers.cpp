// The maintenance transfers: job log, user list and proxy settings, each behind a sign-in.
#include <algorithm>
#include <cstring>

#include "http_helper.h"
#include "text_io.h"

namespace tarn::web {

namespace {

constexpr char kJobLogObject[] = "/cgi-bin/log/jobLog.cgi";
constexpr char kUserExportObject[] = "/cgi-bin/mainte/userexport.cgi";
constexpr char kUserImportObject[] = "/cgi-bin/mainte/userimport.cgi";
constexpr char kProxyExportObject[] = "/cgi-bin/mainte/proxyexport.cgi";
constexpr char kProxyImportObject[] = "/cgi-bin/mainte/proxyimport.cgi";

constexpr int kRightLog = 1;
constexpr int kRightAdmin = 2;

constexpr char kMultipartHeader[] = "Content-Type: multipart/form-data; boundary=fromZCcomUtil";
constexpr char kMultipartHead[] =
    "--fromZCcomUtil\r\n"
    "Content-Disposition: form-data; name=\"userinfo\"\r\n"
    "Content-Type: application/octet-stream\r\n\r\n";
constexpr char kMultipartTail[] = "\r\n--fromZCcomUtil\r\n";

}  // namespace

int CHttpHelper::Download(const std::string& host, const char* object, const std::string& path,
                          int right) {
  int result = Login(host, right);
  if (result != kOk) return result;
  m_strTargetPath = path;
  int check = kOk;
  result = Receive("http://" + host + object, path, right == kRightLog, &check);
  return result != kOk ? result : check;
}

int CHttpHelper::Upload(const std::string& host, const char* object, const std::string& path) {
  int result = Login(host, kRightAdmin);
  if (result != kOk) return result;
  result = PostMultipartFile("http://" + host + object, path);
  if (result != kOk) return result;
  return CheckAnswerFile(m_strDumpPath);
}

int CHttpHelper::ExportProxy(const std::string& host, const std::string& path) {
  return Download(host, kProxyExportObject, path, kRightAdmin);
}

int CHttpHelper::ExportUsers(const std::string& host, const std::string& path) {
  return Download(host, kUserExportObject, path, kRightAdmin);
}

int CHttpHelper::GetJobLog(const std::string& host, const std::string& path) {
  return Download(host, kJobLogObject, path, kRightLog);
}

int CHttpHelper::ImportProxy(const std::string& host, const std::string& path) {
  return Upload(host, kProxyImportObject, path);
}

int CHttpHelper::ImportUsers(const std::string& host, const std::string& path) {
  return Upload(host, kUserImportObject, path);
}

namespace {

// The multipart form around the file, read in blocks while the request goes out.
class MultipartFileBody final : public HttpRequestBody {
 public:
  bool Open(const std::string& path) { return file_.Open(path); }
  uint64_t size() const override {
    return (sizeof kMultipartHead - 1) + file_.size() + (sizeof kMultipartTail - 1);
  }
  bool Read(char* buffer, size_t capacity, size_t& got) override {
    got = 0;
    while (got < capacity) {
      size_t n = 0;
      if (piece_ == 0) {
        n = Copy(kMultipartHead, sizeof kMultipartHead - 1, buffer + got, capacity - got);
      } else if (piece_ == 1) {
        if (!file_.Read(buffer + got, capacity - got, n)) return false;
      } else if (piece_ == 2) {
        n = Copy(kMultipartTail, sizeof kMultipartTail - 1, buffer + got, capacity - got);
      } else {
        break;
      }
      if (n == 0) {
        ++piece_;
        offset_ = 0;
      }
      got += n;
    }
    return true;
  }
  bool Rewind() override {
    piece_ = 0;
    offset_ = 0;
    return file_.Rewind();
  }
  std::string ErrorText() const override { return file_.ErrorText(); }

 private:
  size_t Copy(const char* piece, size_t length, char* out, size_t room) {
    const size_t n = std::min(room, length - offset_);
    std::memcpy(out, piece + offset_, n);
    offset_ += n;
    return n;
  }

  FileBody file_;
  int piece_ = 0;      // head, file, tail, done
  size_t offset_ = 0;  // into the head or the tail
};

}  // namespace

int CHttpHelper::PostMultipartFile(const std::string& url, const std::string& path) {
  MultipartFileBody body;
  if (!body.Open(path)) {
    m_strLastError = "File open error. FileName:[" + path + "]";
    return kHttpOrFileError;
  }
  FileTarget dump(m_strDumpPath, "File open error.");
  return Exchange(Verb::kPost, url, kMultipartHeader, &body, dump);
}

int CHttpHelper::DownloadJobLog(const std::string& url, const std::string& path) {
  return Receive(url, path, true, nullptr);
}

}  // namespace tarn::web
