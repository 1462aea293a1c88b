// The eleven exports of TarnWebCom behind one interface, so that one set of cases runs against
// libTarnWebCom.so in this process and against TarnWebCom.dll in a Windows test host under
// Wine. CreateWebTarget picks Wine when TARN_WINE names the Wine loader (the tests' Wine
// environment, with TARN_WINDOWS_BUILD_DIR naming the Windows build); TARN_TEST_TARGET
// ("linux" or "wine") overrides that.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "tarn/tarn_types.h"

namespace tarn::test {

class WebTarget {
 public:
  virtual ~WebTarget() = default;

  // The exports, with the signatures of the public header. Under Wine a `message` buffer
  // travels as the 256 units the header promises and a `digest` as 33; a library that writes
  // past them fails the call.
  virtual int GetJobLogW(const TARN_WCHAR* host, const TARN_WCHAR* user, const TARN_WCHAR* password,
                         const TARN_WCHAR* path, TARN_WCHAR* message) = 0;
  virtual int GetJobLogNoLoginW(const TARN_WCHAR* host, const TARN_WCHAR* path,
                                TARN_WCHAR* message) = 0;
  virtual int GetUserInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user,
                           const TARN_WCHAR* password, const TARN_WCHAR* path,
                           TARN_WCHAR* message) = 0;
  virtual int SetUserInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user,
                           const TARN_WCHAR* password, const TARN_WCHAR* path,
                           TARN_WCHAR* message) = 0;
  virtual int GetProxyInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user,
                            const TARN_WCHAR* password, const TARN_WCHAR* path,
                            TARN_WCHAR* message) = 0;
  virtual int SetProxyInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user,
                            const TARN_WCHAR* password, const TARN_WCHAR* path,
                            TARN_WCHAR* message) = 0;
  virtual int GetDeviceStatusMchimanW(const TARN_WCHAR* host, TARN_WCHAR* message) = 0;
  virtual int EncryptW(TARN_WCHAR* digest, const TARN_WCHAR* user, const TARN_WCHAR* password) = 0;
  virtual int GetUtf8ByteCountW(const TARN_WCHAR* text) = 0;
  virtual int SetProxySetting(int bUseProxy) = 0;
  virtual int fnZCCOMUTILDLL() = 0;

  // Sets an environment variable as the library reads it; nullopt removes it. Wine's WinINet
  // reads http_proxy once, at the first session of the process: set it before the first call.
  virtual void SetEnv(const std::string& name, const std::optional<std::u16string>& value) = 0;
  // A local file as the target's file functions name it: the path itself on Linux,
  // "Z:\..." under Wine.
  virtual std::u16string Path(const std::filesystem::path& path) = 0;
  // The bytes of the narrow form of `text` (UTF-8 on Linux, the OEM code page under Wine).
  virtual std::string Narrow(const std::u16string& text) = 0;
  // `text` as it comes back from its narrow form, as error texts show it.
  virtual std::u16string ThroughNarrow(const std::u16string& text) = 0;
  // Whether the platform's HTTP cache holds an answer for the absolute address `url`.
  virtual bool CacheHolds(const std::string& url) = 0;
  // "linux" or "wine", for messages.
  virtual std::string name() const = 0;
  // The process the library runs in: this one, or the Windows test host under Wine.
  virtual int pid() const = 0;
};

// Throws std::runtime_error when the chosen target cannot be started.
std::unique_ptr<WebTarget> CreateWebTarget();

// UTF-16 from UTF-8 and back, for building arguments; a lone surrogate becomes U+FFFD.
std::u16string Utf16(const std::string& utf8);
std::string Utf8(const std::u16string& utf16);

}  // namespace tarn::test
