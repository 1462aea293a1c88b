// The exported functions: UTF-16 in, one session object per call, a result code out.
#include <atomic>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "digest.h"
#include "dual_string.h"
#include "http_helper.h"
#include "tarn/tarn_web_com.h"
#include "text_codec.h"

namespace tarn::web {

namespace {

std::atomic<int> g_bUseProxy{1};

bool CarriesText(int result) {
  return result == kHttpStatus || result == kHttpOrFileError;
}

// A host that passes no buffer gets no text rather than a crash.
void CopyErrorText(const std::string& text, TARN_WCHAR* message) {
  if (message == nullptr) return;
  CDualString record;
  record.SetNarrow(text.c_str());
  size_t n = 0;
  while (record.wide[n] != 0) ++n;
  std::memcpy(message, record.wide, (n + 1) * sizeof(TARN_WCHAR));
}

// The object's error text reaches the host for 98 and 99 only.
void PassErrorText(const CHttpHelper& helper, int result, TARN_WCHAR* message) {
  if (!CarriesText(result)) return;
  std::string text;
  helper.GetLastErrorText(text);
  CopyErrorText(text, message);
}

// Nothing may escape into the host program: an unexpected failure becomes 99 with a text.
template <typename Body>
int Guarded(TARN_WCHAR* message, Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    CopyErrorText("Out of memory.", message);
  } catch (const std::exception& e) {
    CopyErrorText(e.what(), message);
  } catch (...) {
    CopyErrorText("Unexpected failure.", message);
  }
  return kHttpOrFileError;
}

using Operation = int (CHttpHelper::*)(const std::string&, const std::string&);

int RunTransfer(const TARN_WCHAR* host, const TARN_WCHAR* user, const TARN_WCHAR* password,
                bool with_credentials, const TARN_WCHAR* path, TARN_WCHAR* message,
                Operation operation) {
  return Guarded(message, [&] {
    CDualString host_record, user_record, password_record, path_record;
    host_record.SetWide(host);
    user_record.SetWide(user);
    password_record.SetWide(password);
    path_record.SetWide(path);
    CHttpHelper helper(g_bUseProxy.load());
    if (with_credentials) helper.SetCredentials(user_record.narrow, password_record.narrow);
    int result = kHttpOrFileError;
    try {
      result = (helper.*operation)(host_record.narrow, path_record.narrow);
    } catch (...) {
      // The appliance may hold a signed-in session: end it before the failure is reported.
      try {
        helper.Logout(host_record.narrow);
      } catch (...) {
      }
      throw;
    }
    PassErrorText(helper, result, message);
    // The operation's result stands whatever the sign-out meets.
    try {
      helper.Logout(host_record.narrow);
    } catch (...) {
    }
    return result;
  });
}

}  // namespace

}  // namespace tarn::web

using tarn::web::CHttpHelper;

extern "C" {

int TARN_CALL GetJobLogW(const TARN_WCHAR* host, const TARN_WCHAR* user, const TARN_WCHAR* password,
                         const TARN_WCHAR* path, TARN_WCHAR* message) {
  return tarn::web::RunTransfer(host, user, password, true, path, message, &CHttpHelper::GetJobLog);
}

int TARN_CALL GetJobLogNoLoginW(const TARN_WCHAR* host, const TARN_WCHAR* path,
                                TARN_WCHAR* message) {
  return tarn::web::RunTransfer(host, nullptr, nullptr, false, path, message,
                                &CHttpHelper::GetJobLog);
}

int TARN_CALL GetUserInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user,
                           const TARN_WCHAR* password, const TARN_WCHAR* path,
                           TARN_WCHAR* message) {
  return tarn::web::RunTransfer(host, user, password, true, path, message,
                                &CHttpHelper::ExportUsers);
}

int TARN_CALL SetUserInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user,
                           const TARN_WCHAR* password, const TARN_WCHAR* path,
                           TARN_WCHAR* message) {
  return tarn::web::RunTransfer(host, user, password, true, path, message,
                                &CHttpHelper::ImportUsers);
}

int TARN_CALL GetProxyInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user,
                            const TARN_WCHAR* password, const TARN_WCHAR* path,
                            TARN_WCHAR* message) {
  return tarn::web::RunTransfer(host, user, password, true, path, message,
                                &CHttpHelper::ExportProxy);
}

int TARN_CALL SetProxyInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user,
                            const TARN_WCHAR* password, const TARN_WCHAR* path,
                            TARN_WCHAR* message) {
  return tarn::web::RunTransfer(host, user, password, true, path, message,
                                &CHttpHelper::ImportProxy);
}

int TARN_CALL GetDeviceStatusMchimanW(const TARN_WCHAR* host, TARN_WCHAR* message) {
  using namespace tarn::web;
  return Guarded(message, [&] {
    CDualString host_record;
    host_record.SetWide(host);
    CHttpHelper helper(g_bUseProxy.load());
    const int result = helper.GetDeviceStatus(host_record.narrow);
    PassErrorText(helper, result, message);
    return result;
  });
}

int TARN_CALL EncryptW(TARN_WCHAR* digest, const TARN_WCHAR* user, const TARN_WCHAR* password) {
  using namespace tarn::web;
  CDualString user_record, password_record;
  user_record.SetWide(user);
  password_record.SetWide(password);
  CDualString out;
  try {
    out.SetNarrow(
        MD5HexString(std::string(user_record.narrow) + ":qm4vr7:" + password_record.narrow)
            .c_str());
  } catch (const std::exception&) {
    // No result code to report with: the host gets an empty digest.
  }
  if (digest != nullptr) std::memcpy(digest, out.wide, 33 * sizeof(TARN_WCHAR));
  return 0;
}

int TARN_CALL GetUtf8ByteCountW(const TARN_WCHAR* text) {
  return tarn::web::Utf8ByteCount(text);
}

int TARN_CALL SetProxySetting(int bUseProxy) {
  tarn::web::g_bUseProxy.store(bUseProxy != 0 ? 1 : 0);
  return 1;
}

}  // extern "C"

int fnZCCOMUTILDLL(void) {
  return 0;
}
