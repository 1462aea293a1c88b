// Sign-in and sign-out: the MD5 challenge-response of the appliance's login page.
#include "answer_scan.h"
#include "digest.h"
#include "http_helper.h"
#include "text_io.h"

namespace tarn::web {

namespace {

constexpr char kStatusObject[] = "/script/_userlogin/zc_auth.shp";
constexpr char kLoginPageObject[] = "/script/_userlogin/userlogin_zc.shp";
constexpr char kLoginObject[] = "/cgi-bin/userlogin/login.cgi";
constexpr char kLogoutObject[] = "/cgi-bin/userlogin/logout.cgi";
constexpr char kFormHeader[] = "Content-type: application/x-www-form-urlencoded";

// The salt that the appliance's credential digest uses, kept with each character lowered by
// its position so that it does not stand in the binary as it is.
constexpr char kStoredLoginSalt[] = "ql2sn2";

std::string LoginSalt() {
  std::string salt = kStoredLoginSalt;
  for (size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<char>(salt[i] + i);
  return salt;
}

std::string Address(const std::string& host, const char* object) {
  return "http://" + host + object;
}

}  // namespace

int CHttpHelper::Login(const std::string& host, int requiredRight) {
  int result = DownloadToFile(Address(host, kStatusObject), m_strDumpPath);
  if (result > 0) return result;
  result = ParseStatusFile();
  if (result > 0) return result;
  result = DownloadToFile(Address(host, kLoginPageObject), m_strDumpPath);
  if (result > 0) return result;
  result = ParseLoginPage();
  if (result > 0) return result;
  if (m_nMchiman != 1) return kOk;

  result = PostLoginForm(Address(host, kLoginObject));
  if (result > 0) return result;
  result = DownloadToFile(Address(host, kStatusObject), m_strDumpPath);
  if (result > 0) return result;
  result = ParseRightsFile();
  if (result > 0) return result;
  if (!m_bUserKnown) return kLoginRefused;
  if (requiredRight == 1 && !m_bLogRight) return kNoLogRight;
  if (requiredRight == 2 && !m_bAdminRight) return kNoAdminRight;
  return kOk;
}

int CHttpHelper::Logout(const std::string& host) {
  return PostLoginForm(Address(host, kLogoutObject));
}

int CHttpHelper::ParseLoginPage() {
  LineReader reader(m_strDumpPath);
  if (!reader.is_open()) {
    m_strLastError = "File open error.";
    return kHttpOrFileError;
  }
  answer::MarkerScan hidden("hidden");
  answer::HiddenFieldScan scan;
  std::string name;
  std::string value;
  reader.ForEachLine(
      [&](const char* data, size_t size) {
        hidden.Feed(data, size);
        scan.Feed(data, size);
      },
      [&] {
        if (hidden.found() && scan.Finish(name, value)) {
          if (name == "authMD5in") {
            m_strAuthMD5in = value;
          } else if (name == "authTime") {
            m_strAuthTime = value;
          }
        }
        hidden.Reset();
        scan.Reset();
      });
  const std::string credentials = MD5HexString(m_strUser + ":" + LoginSalt() + ":" + m_strPassword);
  m_strAuthMD5out = MD5HexString(m_strAuthMD5in + ":" + m_strAuthTime + ":" + credentials);
  m_strAuthUser = m_strUser;
  m_strLoginFlag = "1";
  m_strExecute = "Login";
  return kOk;
}

int CHttpHelper::PostLoginForm(const std::string& url) {
  const std::string body = "authUser=" + UrlEncode(m_strAuthUser) + "&authTime=" + m_strAuthTime +
                           "&authMD5out=" + UrlEncode(m_strAuthMD5out) +
                           "&Zephyrcastle=" + m_strLoginFlag + "&execute=" + m_strExecute;
  FileTarget dump(m_strDumpPath, "File open error.");
  StringBody form(body);
  return Exchange(Verb::kPost, url, kFormHeader, &form, dump);
}

}  // namespace tarn::web
