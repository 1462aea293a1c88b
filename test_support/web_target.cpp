#include "web_target.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "sim_process.h"
#include "tarn/tarn_web_com.h"

namespace tarn::test {

namespace {

// The header's promises, which is all a buffer can be sized by across the process boundary.
constexpr size_t kMessageUnits = 256;
constexpr size_t kDigestUnits = 33;

// Wine's first start in a fresh prefix takes seconds; a call may meet the 30 s stall limit
// twice (sign-in and transfer) before it answers.
constexpr auto kHostStart = std::chrono::seconds(120);
constexpr auto kCallWait = std::chrono::seconds(100);

size_t Length(const TARN_WCHAR* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// --- libTarnWebCom.so in this process ---------------------------------------------------

class SharedLibraryTarget final : public WebTarget {
 public:
  int GetJobLogW(const TARN_WCHAR* host, const TARN_WCHAR* user, const TARN_WCHAR* password,
                 const TARN_WCHAR* path, TARN_WCHAR* message) override {
    return ::GetJobLogW(host, user, password, path, message);
  }
  int GetJobLogNoLoginW(const TARN_WCHAR* host, const TARN_WCHAR* path,
                        TARN_WCHAR* message) override {
    return ::GetJobLogNoLoginW(host, path, message);
  }
  int GetUserInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user, const TARN_WCHAR* password,
                   const TARN_WCHAR* path, TARN_WCHAR* message) override {
    return ::GetUserInfoW(host, user, password, path, message);
  }
  int SetUserInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user, const TARN_WCHAR* password,
                   const TARN_WCHAR* path, TARN_WCHAR* message) override {
    return ::SetUserInfoW(host, user, password, path, message);
  }
  int GetProxyInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user, const TARN_WCHAR* password,
                    const TARN_WCHAR* path, TARN_WCHAR* message) override {
    return ::GetProxyInfoW(host, user, password, path, message);
  }
  int SetProxyInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user, const TARN_WCHAR* password,
                    const TARN_WCHAR* path, TARN_WCHAR* message) override {
    return ::SetProxyInfoW(host, user, password, path, message);
  }
  int GetDeviceStatusMchimanW(const TARN_WCHAR* host, TARN_WCHAR* message) override {
    return ::GetDeviceStatusMchimanW(host, message);
  }
  int EncryptW(TARN_WCHAR* digest, const TARN_WCHAR* user, const TARN_WCHAR* password) override {
    return ::EncryptW(digest, user, password);
  }
  int GetUtf8ByteCountW(const TARN_WCHAR* text) override { return ::GetUtf8ByteCountW(text); }
  int SetProxySetting(int bUseProxy) override { return ::SetProxySetting(bUseProxy); }
  int fnZCCOMUTILDLL() override { return ::fnZCCOMUTILDLL(); }

  void SetEnv(const std::string& name, const std::optional<std::u16string>& value) override {
    if (value) {
      setenv(name.c_str(), Utf8(*value).c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  std::u16string Path(const std::filesystem::path& path) override { return Utf16(path.string()); }
  std::string Narrow(const std::u16string& text) override { return Utf8(text); }
  std::u16string ThroughNarrow(const std::u16string& text) override { return Utf16(Utf8(text)); }
  // libcurl keeps no cache.
  bool CacheHolds(const std::string&) override { return false; }
  std::string name() const override { return "linux"; }
  int pid() const override { return static_cast<int>(::getpid()); }
};

// --- TarnWebCom.dll in tarn_call_host.exe under Wine ------------------------------------

std::string Hex(const void* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* p = static_cast<const unsigned char*>(data);
  std::string hex;
  for (size_t i = 0; i < size; ++i) {
    hex.push_back(kDigits[p[i] >> 4]);
    hex.push_back(kDigits[p[i] & 15]);
  }
  return hex;
}

// UTF-16LE bytes, whatever the byte order of this machine.
std::string HexUnits(const TARN_WCHAR* units, size_t count) {
  std::string bytes;
  for (size_t i = 0; i < count; ++i) {
    bytes.push_back(static_cast<char>(units[i] & 0xFF));
    bytes.push_back(static_cast<char>(units[i] >> 8));
  }
  return Hex(bytes.data(), bytes.size());
}

std::string FromHex(const std::string& hex) {
  auto nibble = [&](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::runtime_error("call host sent bad hex: " + hex);
  };
  if (hex.size() % 2 != 0) throw std::runtime_error("call host sent odd hex: " + hex);
  std::string bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  }
  return bytes;
}

std::u16string UnitsFromHex(const std::string& hex) {
  const std::string bytes = FromHex(hex);
  if (bytes.size() % 2 != 0) throw std::runtime_error("call host sent half a unit: " + hex);
  std::u16string units;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return units;
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != 0 ? value : fallback;
}

class WineTarget final : public WebTarget {
 public:
  WineTarget() {
    const std::string build = EnvOr("TARN_WINDOWS_BUILD_DIR", "");
    if (build.empty()) throw std::runtime_error("TARN_WINDOWS_BUILD_DIR names no Windows build");
    host_ = std::make_unique<SimProcess>(
        std::vector<std::string>{EnvOr("TARN_WINE", "/usr/lib/wine/wine64"),
                                 build + "/test_support/win/tarn_call_host.exe"},
        kHostStart);
    std::string line = host_->first_line();
    while (!IsReply(line)) {
      if (!host_->ReadLine(line, kHostStart)) throw std::runtime_error("call host did not start");
    }
    if (Trimmed(line) != "@@ ready") throw std::runtime_error("call host said: " + line);
    const std::u16string dll = Path(build + "/web_client/TarnWebCom.dll");
    Command("load " + HexUnits(dll.data(), dll.size()));
  }
  ~WineTarget() override {
    // A host that ends by itself leaves Wine nothing to clean up after a kill.
    if (host_->WriteLine("exit")) {
      std::string line;
      while (host_->ReadLine(line, std::chrono::seconds(10)) && !IsReply(line)) {
      }
    }
  }

  int GetJobLogW(const TARN_WCHAR* host, const TARN_WCHAR* user, const TARN_WCHAR* password,
                 const TARN_WCHAR* path, TARN_WCHAR* message) override {
    return Call("GetJobLogW", {In(host), In(user), In(password), In(path), Out(message)});
  }
  int GetJobLogNoLoginW(const TARN_WCHAR* host, const TARN_WCHAR* path,
                        TARN_WCHAR* message) override {
    return Call("GetJobLogNoLoginW", {In(host), In(path), Out(message)});
  }
  int GetUserInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user, const TARN_WCHAR* password,
                   const TARN_WCHAR* path, TARN_WCHAR* message) override {
    return Call("GetUserInfoW", {In(host), In(user), In(password), In(path), Out(message)});
  }
  int SetUserInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user, const TARN_WCHAR* password,
                   const TARN_WCHAR* path, TARN_WCHAR* message) override {
    return Call("SetUserInfoW", {In(host), In(user), In(password), In(path), Out(message)});
  }
  int GetProxyInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user, const TARN_WCHAR* password,
                    const TARN_WCHAR* path, TARN_WCHAR* message) override {
    return Call("GetProxyInfoW", {In(host), In(user), In(password), In(path), Out(message)});
  }
  int SetProxyInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user, const TARN_WCHAR* password,
                    const TARN_WCHAR* path, TARN_WCHAR* message) override {
    return Call("SetProxyInfoW", {In(host), In(user), In(password), In(path), Out(message)});
  }
  int GetDeviceStatusMchimanW(const TARN_WCHAR* host, TARN_WCHAR* message) override {
    return Call("GetDeviceStatusMchimanW", {In(host), Out(message)});
  }
  int EncryptW(TARN_WCHAR* digest, const TARN_WCHAR* user, const TARN_WCHAR* password) override {
    return Call("EncryptW", {Out(digest, kDigestUnits), In(user), In(password)});
  }
  int GetUtf8ByteCountW(const TARN_WCHAR* text) override {
    return Call("GetUtf8ByteCountW", {In(text)});
  }
  int SetProxySetting(int bUseProxy) override {
    Arg arg;
    arg.token = "i:" + std::to_string(bUseProxy);
    return Call("SetProxySetting", {arg});
  }
  // The DLL exports it under its MSVC-decorated name.
  int fnZCCOMUTILDLL() override { return Call("?fnZCCOMUTILDLL@@YAHXZ", {}); }

  void SetEnv(const std::string& name, const std::optional<std::u16string>& value) override {
    Command("setenv " + name + " " + (value ? HexUnits(value->data(), value->size()) : "n"));
  }
  std::u16string Path(const std::filesystem::path& path) override {
    std::u16string windows =
        u"Z:" + Utf16(std::filesystem::absolute(path).lexically_normal().string());
    for (auto& unit : windows) {
      if (unit == u'/') unit = u'\\';
    }
    return windows;
  }
  std::string Narrow(const std::u16string& text) override { return NarrowForms(text).first; }
  std::u16string ThroughNarrow(const std::u16string& text) override {
    return NarrowForms(text).second;
  }
  bool CacheHolds(const std::string& url) override {
    const std::u16string wide = Utf16(url);
    return Command("cached " + HexUnits(wide.data(), wide.size())) == "1";
  }
  std::string name() const override { return "wine"; }
  int pid() const override { return host_->pid(); }

 private:
  struct Arg {
    std::string token;
    TARN_WCHAR* buffer = nullptr;  // an in/out buffer to copy the host's result into
    size_t units = 0;
  };

  static Arg In(const TARN_WCHAR* text) {
    Arg arg;
    arg.token = text == nullptr ? "w" : "w:" + HexUnits(text, Length(text));
    return arg;
  }
  static Arg Out(TARN_WCHAR* buffer, size_t units = kMessageUnits) {
    Arg arg;
    arg.token = buffer == nullptr ? "b" : "b:" + HexUnits(buffer, units);
    arg.buffer = buffer;
    arg.units = units;
    return arg;
  }

  static bool IsReply(const std::string& line) { return line.rfind("@@ ", 0) == 0; }
  static std::string Trimmed(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
  }

  // One command, one reply: what follows "@@ ok", or an exception for anything else.
  std::string Command(const std::string& command) {
    const std::string shown = command.substr(0, 80);
    if (!host_->WriteLine(command)) throw std::runtime_error("call host is gone: " + shown);
    std::string line;
    do {
      if (!host_->ReadLine(line, kCallWait)) {
        // A host stuck in a call answers nothing later either: later commands fail at once.
        host_->Terminate();
        throw std::runtime_error("call host gave no answer in time to: " + shown);
      }
    } while (!IsReply(line));
    line = Trimmed(line);
    if (line == "@@ ok") return "";
    if (line.rfind("@@ ok ", 0) != 0) throw std::runtime_error(line.substr(3) + " after " + shown);
    return line.substr(6);
  }

  int Call(const std::string& function, const std::vector<Arg>& args) {
    std::string command = "call " + function;
    for (const auto& arg : args) command += " " + arg.token;
    std::istringstream reply(Command(command));
    int result = 0;
    if (!(reply >> result)) throw std::runtime_error("call host gave no result for " + function);
    for (const auto& arg : args) {
      if (arg.token[0] != 'b') continue;
      std::string token;
      if (!(reply >> token) || token[0] != 'b') {
        throw std::runtime_error("call host gave no buffer back for " + function);
      }
      if (arg.buffer == nullptr) continue;
      const std::u16string units = UnitsFromHex(token.substr(2));
      if (units.size() != arg.units) throw std::runtime_error("buffer changed size: " + function);
      std::memcpy(arg.buffer, units.data(), units.size() * sizeof(TARN_WCHAR));
    }
    return result;
  }

  std::pair<std::string, std::u16string> NarrowForms(const std::u16string& text) {
    if (text.empty()) return {};
    std::istringstream reply(Command("narrow " + HexUnits(text.data(), text.size())));
    std::string bytes;
    std::string back;
    reply >> bytes >> back;
    return {FromHex(bytes), UnitsFromHex(back)};
  }

  std::unique_ptr<SimProcess> host_;
};

}  // namespace

std::unique_ptr<WebTarget> CreateWebTarget() {
  const std::string target =
      EnvOr("TARN_TEST_TARGET", EnvOr("TARN_WINE", "").empty() ? "linux" : "wine");
  if (target == "wine") return std::make_unique<WineTarget>();
  if (target != "linux") throw std::runtime_error("unknown TARN_TEST_TARGET " + target);
  return std::make_unique<SharedLibraryTarget>();
}

std::u16string Utf16(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    size_t length = byte < 0x80       ? 1
                    : byte >> 5 == 6  ? 2
                    : byte >> 4 == 14 ? 3
                    : byte >> 3 == 30 ? 4
                                      : 0;
    char32_t code = length == 1   ? byte
                    : length == 2 ? byte & 0x1F
                    : length == 3 ? byte & 0x0F
                                  : byte & 0x07;
    bool ok = length > 0 && i + length <= utf8.size();
    for (size_t k = 1; ok && k < length; ++k) {
      const auto next = static_cast<unsigned char>(utf8[i + k]);
      ok = next >> 6 == 2;
      code = code << 6 | (next & 0x3F);
    }
    if (!ok) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return out;
}

std::string Utf8(const std::u16string& utf16) {
  std::string out;
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t code = utf16[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (utf16[++i] - 0xDC00);
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | code >> 6));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | code >> 12));
      out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | code >> 18));
      out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

}  // namespace tarn::test
