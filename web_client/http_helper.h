// The one object through which an exported call talks to the appliance: HTTP session,
// dump file, status line, last error text, credentials and the values parsed from answers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "http_session.h"

namespace tarn::web {

// Result codes shared by the operations and the exports.
enum ResultCode : int {
  kOk = 0,
  kLoginRefused = 91,
  kNoLogRight = 92,
  kNoAdminRight = 93,
  kFailureMark = 95,
  kWebPage = 96,
  kHttpStatus = 98,
  kHttpOrFileError = 99,
};

// Where a 200 answer's body goes.
class BodyTarget {
 public:
  virtual ~BodyTarget() = default;
  virtual bool Open() = 0;
  virtual bool Write(const char* data, size_t size) = 0;
  // The body is complete: keep it.
  virtual bool Close() = 0;
  // The body did not arrive whole: keep nothing of it, and leave what was there before.
  virtual void Abort() {}
  // Text for the caller when Open, Write or Close failed.
  virtual std::string ErrorText() const = 0;
};

class CHttpHelper {
 public:
  explicit CHttpHelper(int bUseProxy);
  // Tests stage faults through a session of their own.
  CHttpHelper(int bUseProxy, std::unique_ptr<HttpSession> session);
  virtual ~CHttpHelper();
  CHttpHelper(const CHttpHelper&) = delete;
  CHttpHelper& operator=(const CHttpHelper&) = delete;

  void ApplyProxySetting(int bUseProxy);
  int SetCredentials(const std::string& user, const std::string& password);
  int GetLastErrorText(std::string& out) const;
  static std::string GetStatusText(uint32_t code);

  int DownloadToFile(const std::string& url, const std::string& path);
  int ParseStatusFile();
  int ParseRightsFile();
  int CheckAnswerFile(const std::string& path);

  int GetDeviceStatus(const std::string& host);

  int Login(const std::string& host, int requiredRight);
  int Logout(const std::string& host);
  int ParseLoginPage();
  int PostLoginForm(const std::string& url);

  int ExportProxy(const std::string& host, const std::string& path);
  int ExportUsers(const std::string& host, const std::string& path);
  int ImportProxy(const std::string& host, const std::string& path);
  int ImportUsers(const std::string& host, const std::string& path);
  int GetJobLog(const std::string& host, const std::string& path);
  int PostMultipartFile(const std::string& url, const std::string& path);
  int DownloadJobLog(const std::string& url, const std::string& path);

  std::unique_ptr<HttpSession> m_session;
  std::string m_strStatusLine;
  std::string m_strDumpPath;
  std::string m_strTargetPath;
  std::string m_strLastError;
  std::string m_strUser;
  std::string m_strPassword;
  int32_t m_nMchiman = 0;
  int32_t m_nAuthCpy = 0;
  int32_t m_nAuthDli = 0;
  int32_t m_nAuthFle = 0;
  int32_t m_nAuthPrt = 0;
  int32_t m_nIcCardOperation = 0;
  int32_t m_bUserKnown = 0;
  int32_t m_bUserIsAdmin = 0;
  int32_t m_bAdminRight = 0;
  int32_t m_bJobRight = 0;
  int32_t m_bLogRight = 0;
  std::string m_strAuthTime;
  std::string m_strAuthUser;
  std::string m_strAuthMD5in;
  std::string m_strAuthMD5out;
  std::string m_strLoginFlag;
  std::string m_strExecute;

 private:
  enum class Verb { kGet, kPost };
  // One request under the shared answer rule: the status line for every answer, 98 for a
  // status other than 200, 99 for an HTTP-layer failure or a target that failed; a 200
  // answer's body goes to `target`.
  int Exchange(Verb verb, const std::string& url, const std::string& header_line,
               HttpRequestBody* body, BodyTarget& target);
  int Download(const std::string& host, const char* object, const std::string& path, int right);
  // A GET into `path`, the job log re-encoded; `check`, where given, receives the answer
  // check's result over the bytes as they were written.
  int Receive(const std::string& url, const std::string& path, bool job_log, int* check);
  int Upload(const std::string& host, const char* object, const std::string& path);
};

// Helpers of the answer readers, exposed for their tests.
namespace answer {
// "%[^=]=%d" with a key of at most 255 bytes.
bool ParseKeyNumber(const std::string& line, std::string& key, int32_t& value);
// "%[^=]=%s" with key and value of at most 255 bytes each.
bool ParseKeyWord(const std::string& line, std::string& key, std::string& value);
// The login page's hidden-field scan, name and value of at most 255 characters each.
bool ScanHiddenField(const std::string& line, std::string& name, std::string& value);
}  // namespace answer

}  // namespace tarn::web
