// The maintenance transfers: job log, user list and proxy settings, each behind a sign-in.
#include "http_helper.h"
#include "text_codec.h"
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
  const std::string url = "http://" + host + object;
  result = right == kRightLog ? DownloadJobLog(url, path) : DownloadToFile(url, path);
  if (result != kOk) return result;
  return CheckAnswerFile(path);
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

int CHttpHelper::PostMultipartFile(const std::string& url, const std::string& path) {
  std::string content;
  if (!ReadWholeFile(path, content)) {
    m_strLastError = "File open error. FileName:[" + path + "]";
    return kHttpOrFileError;
  }
  std::string body;
  body.reserve(sizeof kMultipartHead + content.size() + sizeof kMultipartTail);
  body += kMultipartHead;
  body += content;
  body += kMultipartTail;
  content.clear();
  content.shrink_to_fit();
  FileTarget dump(m_strDumpPath, "File open error.");
  return Exchange(Verb::kPost, url, kMultipartHeader, body, dump);
}

int CHttpHelper::DownloadJobLog(const std::string& url, const std::string& path) {
  MemoryTarget answer;
  const int result = Exchange(Verb::kGet, EscapePercent(url), std::string(), std::string(), answer);
  if (result != kOk) return result;
  std::string text;
  int error_code = 0;
  if (!RecodeUtf8(answer.data().data(), answer.data().size(), text, error_code)) {
    text = "GetLastError[" + std::to_string(error_code) + "]";
  }
  if (!WriteWholeFile(path, text)) {
    m_strLastError = "File open error. FileName:[" + path + "]";
    return kHttpOrFileError;
  }
  return kOk;
}

}  // namespace tarn::web
