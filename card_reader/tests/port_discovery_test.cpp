// Port discovery and the registry file behind it: each case writes a registry file, points
// TARN_REGISTRY_FILE at it and runs the whole discovery.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "discovery_cases.h"
#include "port_discovery.h"
#include "registry.h"

namespace tarn::iccr {
namespace {

const char* const kHeader = "Windows Registry Editor Version 5.00\n\n";

std::string Reader(const std::string& key, const std::string& tail) {
  return discovery::RegFileText(discovery::Reader(key, tail));
}

// Writes registry files to a private directory and names them in TARN_REGISTRY_FILE.
class RegistryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarn-registry-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/registry.reg";
    setenv("TARN_REGISTRY_FILE", path_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TARN_REGISTRY_FILE");
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  void Write(const std::string& text) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << text;
  }

  std::string dir_;
  std::string path_;
};

struct WalkRecorder final : DiscoveryObserver {
  void OnKey(const std::string& path, long /*status*/) override { keys.push_back(path); }
  void OnValue(const std::string&, const char*, long, const std::string&) override {}
  void OnWalkEnd(DiscoveryWalk walk, int code) override { walks.emplace_back(walk, code); }
  std::vector<std::string> keys;
  std::vector<std::pair<DiscoveryWalk, int>> walks;
};

using discovery::DiscoveryCases;
using discovery::kUnchanged;
using discovery::RegFileText;

TEST_F(RegistryFileTest, DiscoveryYieldsCodeAndPortName) {
  for (const auto& c : DiscoveryCases()) {
    SCOPED_TRACE(c.what);
    Write(kHeader + RegFileText(c.registry));
    std::string port = kUnchanged;
    EXPECT_EQ(FindReaderPort(port), c.code);
    EXPECT_EQ(port, c.port);
    // Watched, the discovery reads the same and ends the same way.
    WalkRecorder recorder;
    port = kUnchanged;
    EXPECT_EQ(FindReaderPort(port, &recorder), c.code);
    EXPECT_EQ(port, c.port);
    ASSERT_FALSE(recorder.walks.empty());
    EXPECT_EQ(recorder.walks.front().first, DiscoveryWalk::kFriendlyName);
    EXPECT_EQ(recorder.walks.size(), recorder.walks.front().second == kPortFound ? 1u : 2u);
    EXPECT_FALSE(recorder.keys.empty());
  }
}

// What regedit writes: UTF-16LE with a byte-order mark and CRLF. The cases' texts are ASCII,
// so each byte widens to one unit.
std::string Utf16LeWithBom(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

TEST_F(RegistryFileTest, ExportsInEveryEncodingReadAlike) {
  const struct {
    const char* name;
    std::string (*encode)(const std::string&);
  } encodings[] = {
      {"UTF-8, LF", [](const std::string& t) { return t; }},
      {"UTF-8 with BOM, CRLF", [](const std::string& t) { return "\xEF\xBB\xBF" + WithCrLf(t); }},
      {"UTF-16LE with BOM, CRLF", [](const std::string& t) { return Utf16LeWithBom(WithCrLf(t)); }},
      {"UTF-16LE with BOM, LF", [](const std::string& t) { return Utf16LeWithBom(t); }},
  };
  for (const auto& e : encodings) {
    for (const auto& c : DiscoveryCases()) {
      SCOPED_TRACE(std::string(e.name) + ": " + c.what);
      Write(e.encode(kHeader + RegFileText(c.registry)));
      std::string port = kUnchanged;
      EXPECT_EQ(FindReaderPort(port), c.code);
      EXPECT_EQ(port, c.port);
    }
  }
  // Text beyond ASCII arrives as UTF-8, a lone surrogate as U+FFFD.
  const std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarn]\r\n"
      u"\"Name\"=\"\u30ab\u30fc\u30c9 \U0001F4B3 \xD800!\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  Write(bytes);
  RegistryKeyHandle key;
  ASSERT_EQ(RegistryOpenKey(nullptr, "SOFTWARE\\Tarn", key), kRegSuccess);
  char value[64] = {};
  unsigned long size = sizeof value;
  ASSERT_EQ(RegistryQueryString(key.get(), "Name", value, &size), kRegSuccess);
  EXPECT_STREQ(value, "\xE3\x82\xAB\xE3\x83\xBC\xE3\x83\x89 \xF0\x9F\x92\xB3 \xEF\xBF\xBD!");
}

TEST_F(RegistryFileTest, MissingFileIsAnEmptyRegistry) {
  std::string port = kUnchanged;
  EXPECT_EQ(FindReaderPort(port), -70);
  EXPECT_EQ(port, kUnchanged);
}

TEST_F(RegistryFileTest, FileIsReadAgainAtEachDiscovery) {
  Write(kHeader + Reader("0000", "(COM3) Connected"));
  std::string port;
  ASSERT_EQ(FindReaderPort(port), 1);
  EXPECT_EQ(port, "COM3");
  Write(kHeader + Reader("0000", "(COM6) Connected"));
  ASSERT_EQ(FindReaderPort(port), 1);
  EXPECT_EQ(port, "COM6");
}

// The 256-byte query fits 255 bytes of text and its terminator; one more goes to the retry.
TEST_F(RegistryFileTest, QueryStringAroundTheFirstBufferSize) {
  for (const size_t length : {size_t{255}, size_t{256}, size_t{8191}, size_t{8192}}) {
    SCOPED_TRACE(length);
    const std::string text(length, 'v');
    Write(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\K]\n\"V\"=\"" + text + "\"\n");
    RegKey key("K\\");
    ASSERT_EQ(key.Open(""), kRegSuccess);
    std::string value = "before";
    const long status = key.QueryString("V", value);
    if (length < 8192) {
      EXPECT_EQ(status, kRegSuccess);
      EXPECT_EQ(value, text);
    } else {
      EXPECT_EQ(status, kRegMoreData);
      EXPECT_EQ(value, "before");
    }
  }
}

std::string ReadString(const RegistryKey* key, const char* name, long* status = nullptr) {
  char buffer[256];
  unsigned long size = sizeof buffer;
  const long result = RegistryQueryString(key, name, buffer, &size);
  if (status != nullptr) *status = result;
  return result == kRegSuccess ? std::string(buffer) : std::string("<") + std::to_string(result);
}

std::vector<std::string> Subkeys(const RegistryKey* key) {
  std::vector<std::string> names;
  for (unsigned long i = 0;; ++i) {
    char name[256];
    unsigned long size = sizeof name;
    if (RegistryEnumKey(key, i, name, &size) != kRegSuccess) break;
    names.emplace_back(name, size);
  }
  return names;
}

TEST_F(RegistryFileTest, ParserReadsValuesAndSkipsWhatItCannotRead) {
  Write(std::string("\xEF\xBB\xBF") + kHeader +
        "[HKEY_LOCAL_MACHINE\\Soft\\App]\r\n"
        "\"Plain\"=\"text\"\r\n"
        "this line means nothing\n"
        "\"Escaped\"=\"a\\\\b \\\"q\\\"\"\n"
        "\"Bad escape\"=\"a\\nb\"\n"
        "\"Unclosed\"=\"abc\n"
        "\"Trailing\"=\"abc\" junk\n"
        "\"Binary\"=hex:01,02\n"
        "\"Number\"=dword:0000000a\n"
        "\"Too long\"=dword:000000001\n"
        "\"Not hex\"=dword:0000000g\n"
        "@=\"default\"\n"
        "\"Later\"=\"still read\"\n"
        "\"Plain\"=\"replaced\"\n"
        "[HKEY_CURRENT_USER\\Soft\\App]\n"
        "\"Other hive\"=\"x\"\n"
        "[HKEY_LOCAL_MACHINE\\Soft\\App\n"
        "\"After a broken section\"=\"x\"\n");
  RegistryKeyHandle key;
  ASSERT_EQ(RegistryOpenKey(nullptr, "soft\\APP", key), kRegSuccess);
  EXPECT_EQ(ReadString(key.get(), "plain"), "replaced");
  EXPECT_EQ(ReadString(key.get(), "Escaped"), "a\\b \"q\"");
  EXPECT_EQ(ReadString(key.get(), ""), "default");
  EXPECT_EQ(ReadString(key.get(), "Later"), "still read");
  for (const char* skipped : {"Bad escape", "Unclosed", "Trailing", "Binary", "Too long", "Not hex",
                              "Other hive", "After a broken section"}) {
    long status = 0;
    ReadString(key.get(), skipped, &status);
    EXPECT_EQ(status, kRegNotFound) << skipped;
  }
  std::uint32_t number = 0;
  EXPECT_EQ(RegistryQueryDword(key.get(), "NUMBER", &number), kRegSuccess);
  EXPECT_EQ(number, 10u);
  EXPECT_EQ(RegistryQueryDword(key.get(), "Plain", &number), kRegInvalidData);
  long status = 0;
  ReadString(key.get(), "Number", &status);
  EXPECT_EQ(status, kRegInvalidData);
}

TEST_F(RegistryFileTest, KeysOpenCaseInsensitivelyAndListInOrderOfFirstAppearance) {
  Write(std::string(kHeader) +
        "[HKEY_LOCAL_MACHINE\\Top\\Zeta\\Deep]\n"
        "[hkey_local_machine\\TOP\\alpha]\n"
        "\"V\"=\"1\"\n"
        "[HKEY_LOCAL_MACHINE\\Top\\ZETA]\n"
        "[HKEY_LOCAL_MACHINE\\Top\\Mid]\n"
        "[HKEY_LOCAL_MACHINE\\Top\\Alpha]\n"
        "\"W\"=\"2\"\n");
  RegistryKeyHandle top;
  ASSERT_EQ(RegistryOpenKey(nullptr, "TOP\\", top), kRegSuccess);
  EXPECT_EQ(Subkeys(top.get()), (std::vector<std::string>{"Zeta", "alpha", "Mid"}));

  // Relative to an open key, and sections that repeat a key add to it.
  RegistryKeyHandle alpha;
  ASSERT_EQ(RegistryOpenKey(top.get(), "ALPHA", alpha), kRegSuccess);
  EXPECT_EQ(ReadString(alpha.get(), "V"), "1");
  EXPECT_EQ(ReadString(alpha.get(), "W"), "2");

  RegistryKeyHandle deep;
  EXPECT_EQ(RegistryOpenKey(nullptr, "top\\zeta\\deep", deep), kRegSuccess);
  RegistryKeyHandle missing;
  EXPECT_EQ(RegistryOpenKey(top.get(), "Nope", missing), kRegNotFound);
  EXPECT_EQ(missing, nullptr);

  char small[4];
  unsigned long size = sizeof small;
  EXPECT_EQ(RegistryEnumKey(top.get(), 0, small, &size), kRegMoreData);
  size = sizeof small;
  EXPECT_EQ(RegistryEnumKey(top.get(), 2, small, &size), kRegSuccess);
  EXPECT_EQ(size, 3u);
  size = sizeof small;
  EXPECT_EQ(RegistryEnumKey(top.get(), 3, small, &size), kRegNoMoreItems);
}

TEST_F(RegistryFileTest, StringQueryReportsTheSizeItNeeds) {
  Write(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\K]\n\"V\"=\"12345\"\n");
  RegistryKeyHandle key;
  ASSERT_EQ(RegistryOpenKey(nullptr, "K", key), kRegSuccess);
  char buffer[6] = "zzzzz";
  unsigned long size = 5;
  EXPECT_EQ(RegistryQueryString(key.get(), "V", buffer, &size), kRegMoreData);
  EXPECT_EQ(size, 6u);
  EXPECT_STREQ(buffer, "zzzzz");
  size = 6;
  EXPECT_EQ(RegistryQueryString(key.get(), "V", buffer, &size), kRegSuccess);
  EXPECT_STREQ(buffer, "12345");
}

}  // namespace
}  // namespace tarn::iccr
