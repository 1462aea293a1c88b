// The exports as a host program calls them, against the appliance simulator, on every target.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "export_test_env.h"
#include "utf8_cases.h"

namespace tarn::web {
namespace {

using tarn::test::WebTarget;
using testing::ExportTest;
using testing::MessageBuffer;
using testing::ReadFile;
using testing::Utf16;
using testing::WriteFile;

constexpr char kStatus[] = "/script/_userlogin/zc_auth.shp";
constexpr char kLogout[] = "/cgi-bin/userlogin/logout.cgi";

class DeviceStatusExport : public ExportTest {};

TEST_F(DeviceStatusExport, ValueOrErrorWithItsText) {
  struct Case {
    nlohmann::json config;
    int result;
    std::u16string message;  // empty: message untouched
  } cases[] = {
      {{{"mchiman", 1}}, 1, u""},
      {{{"mchiman", nullptr}}, 0, u""},
      {{{"mchiman", 7}}, 7, u""},
      {{{"responses", {{kStatus, {{"status", 404}}}}}}, 98, u"404 Not Found"},
      {{{"responses", {{kStatus, {{"status", 500}}}}}}, 98, u"500 Internal Server Error"},
      {{{"responses", {{kStatus, {{"status", 299}}}}}}, 98, u"299 Undefined"},
      // An appliance value of 98 cannot be told from an error: the empty text goes out.
      {{{"mchiman", 98}}, 98, std::u16string(1, u'\0')},
  };
  for (const auto& c : cases) {
    sim_->Reset();
    sim_->Configure(c.config);
    MessageBuffer message;
    EXPECT_EQ(target_->GetDeviceStatusMchimanW(whost().c_str(), message.units), c.result)
        << c.config;
    if (c.message.empty()) {
      EXPECT_TRUE(message.untouched()) << c.config;
    } else if (c.message[0] == u'\0') {
      EXPECT_EQ(message.units[0], u'\0');
      EXPECT_EQ(message.units[1], u'#') << "only the terminator is written";
    } else {
      EXPECT_EQ(message.text(), c.message);
      EXPECT_EQ(message.units[c.message.size() + 1], u'#') << "text and terminator only";
    }
  }
  EXPECT_TRUE(sim_->Requests().size() >= 1);
  for (const auto& r : sim_->Requests()) EXPECT_NE(r.path, kLogout) << "no sign-out";
}

TEST_F(DeviceStatusExport, MissingBuffersDoNotCrash) {
  sim_->Configure({{"responses", {{kStatus, {{"status", 404}}}}}});
  EXPECT_EQ(target_->GetDeviceStatusMchimanW(whost().c_str(), nullptr), 98);
  EXPECT_EQ(target_->GetUserInfoW(whost().c_str(), u"admin", u"secret", nullptr, nullptr), 98);
  EXPECT_EQ(target_->EncryptW(nullptr, u"a", u"b"), 0);
}

TEST_F(DeviceStatusExport, RefusedConnectionGivesAText) {
  MessageBuffer message;
  EXPECT_EQ(target_->GetDeviceStatusMchimanW(u"127.0.0.1:1", message.units), 99);
  EXPECT_FALSE(message.text().empty());
  EXPECT_LT(message.text().size(), 256u);
}

TEST_F(DeviceStatusExport, HostOf255UnitsIsUsedAnd256ActsAsEmpty) {
  // 255 units: the simulator's address padded with a path that the status path follows.
  const std::string base = host() + "/pad";
  const std::string padded = base + std::string(255 - base.size(), 'x');
  MessageBuffer message;
  target_->GetDeviceStatusMchimanW(Utf16(padded).c_str(), message.units);
  auto requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/pad" + std::string(255 - base.size(), 'x') + kStatus);

  sim_->ClearRequests();
  MessageBuffer second;
  EXPECT_EQ(target_->GetDeviceStatusMchimanW(Utf16(padded + "x").c_str(), second.units), 99);
  EXPECT_TRUE(sim_->Requests().empty()) << "an over-long host acts as empty";
}

// --- the six transfers -----------------------------------------------------------------

using Transfer = int (*)(WebTarget&, const TARN_WCHAR* host, const TARN_WCHAR* user,
                         const TARN_WCHAR* password, const TARN_WCHAR* path, TARN_WCHAR* message);

template <int (WebTarget::*Export)(const TARN_WCHAR*, const TARN_WCHAR*, const TARN_WCHAR*,
                                   const TARN_WCHAR*, TARN_WCHAR*)>
int CallWith(WebTarget& target, const TARN_WCHAR* host, const TARN_WCHAR* user,
             const TARN_WCHAR* password, const TARN_WCHAR* path, TARN_WCHAR* message) {
  return (target.*Export)(host, user, password, path, message);
}

int CallNoLogin(WebTarget& target, const TARN_WCHAR* host, const TARN_WCHAR*, const TARN_WCHAR*,
                const TARN_WCHAR* path, TARN_WCHAR* message) {
  return target.GetJobLogNoLoginW(host, path, message);
}

struct TransferCase {
  const char* name;
  Transfer call;
  bool upload;
  const char* path;  // the appliance's object
};

void PrintTo(const TransferCase& c, std::ostream* os) {
  *os << c.name;
}

class TransferExport : public ExportTest, public ::testing::WithParamInterface<TransferCase> {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    // Without credentials only an appliance that needs no sign-in lets the job log out.
    if (GetParam().call == &CallNoLogin) sim_->Configure({{"mchiman", 0}});
  }
  int Call(const std::string& user, const std::string& password, const std::filesystem::path& file,
           MessageBuffer& message) {
    return GetParam().call(*target_, whost().c_str(), Utf16(user).c_str(), Utf16(password).c_str(),
                           Local(file).c_str(), message.units);
  }
  std::filesystem::path file() const { return dir_ / "data.bin"; }
  bool LoggedOutLast() {
    const auto requests = sim_->Requests();
    return !requests.empty() && requests.back().path == kLogout;
  }
};

TEST_P(TransferExport, SucceedsWithTheBytesAsSentOrStored) {
  const std::string bytes = "user,name\r\nadmin,Adm\xc3\xadn\r\n";
  sim_->Configure({{"user_list", bytes}, {"proxy_settings", bytes}});
  sim_->Configure({{"job_log_hex", "757365722c6e616d650d0a61646d696e2c41646dc3ad6e0d0a"}});
  if (GetParam().upload) WriteFile(file(), bytes);
  MessageBuffer message;
  EXPECT_EQ(Call("admin", "secret", file(), message), 0);
  EXPECT_TRUE(message.untouched());
  if (GetParam().upload) {
    EXPECT_EQ(sim_->StoredUpload(GetParam().path), bytes);
  } else {
    EXPECT_EQ(ReadFile(file()), bytes);
  }
  EXPECT_TRUE(LoggedOutLast());
}

TEST_P(TransferExport, RefusedSignInLeavesMessageAndStillSignsOut) {
  if (GetParam().call == &CallNoLogin) GTEST_SKIP() << "takes no credentials";
  WriteFile(file(), "local");
  MessageBuffer message;
  EXPECT_EQ(Call("admin", "wrong", file(), message), 91);
  EXPECT_TRUE(message.untouched());
  EXPECT_TRUE(LoggedOutLast());
  EXPECT_EQ(ReadFile(file()), "local") << "nothing transferred";
  EXPECT_EQ(sim_->StoredUpload(GetParam().path), "");
}

TEST_P(TransferExport, StatusErrorGivesItsText) {
  sim_->Configure({{"responses", {{GetParam().path, {{"status", 404}}}}}});
  WriteFile(file(), "local");
  MessageBuffer message;
  EXPECT_EQ(Call("admin", "secret", file(), message), 98);
  EXPECT_EQ(message.text(), u"404 Not Found");
  EXPECT_TRUE(LoggedOutLast());
}

TEST_P(TransferExport, AnswerMarkers) {
  if (GetParam().call == &CallNoLogin) GTEST_SKIP() << "covered by the job log with sign-in";
  MessageBuffer message;
  WriteFile(file(), "local");
  sim_->Configure({{"import_reject", true},
                   {"user_list", "x Zephyrcastle NG\n"},
                   {"proxy_settings", "x Zephyrcastle NG\n"},
                   {"job_log_hex", "78205a6570687972636173746c65204e470a"}});
  EXPECT_EQ(Call("admin", "secret", file(), message), 95);
  if (!GetParam().upload) {
    sim_->Configure({{"responses", {{GetParam().path, {{"kind", "html"}}}}}});
    EXPECT_EQ(Call("admin", "secret", file(), message), 96);
    EXPECT_NE(ReadFile(file()).find("<html>"), std::string::npos) << "the page is kept";
    // Into the dump file itself only the failure mark counts.
    EXPECT_EQ(Call("admin", "secret", dump(), message), 0);
  }
  EXPECT_TRUE(message.untouched());
}

TEST_P(TransferExport, LocalFileThatCannotBeOpenedIsNamed) {
  // Uploads read a file that is not there; downloads write into a folder that is not there.
  const auto local = dir_ / "missing-folder" / "data.bin";
  MessageBuffer message;
  EXPECT_EQ(Call("admin", "secret", local, message), 99);
  EXPECT_EQ(message.text(), u"File open error. FileName:[" + Local(local) + u"]");
  EXPECT_TRUE(LoggedOutLast());
  if (GetParam().upload) {
    EXPECT_TRUE(sim_->RequestsTo(GetParam().path).empty()) << "nothing uploaded";
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path(), dump()) << "nothing written anywhere else";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Six, TransferExport,
    ::testing::Values(TransferCase{"GetJobLogW", &CallWith<&WebTarget::GetJobLogW>, false,
                                   "/cgi-bin/log/jobLog.cgi"},
                      TransferCase{"GetJobLogNoLoginW", &CallNoLogin, false,
                                   "/cgi-bin/log/jobLog.cgi"},
                      TransferCase{"GetUserInfoW", &CallWith<&WebTarget::GetUserInfoW>, false,
                                   "/cgi-bin/mainte/userexport.cgi"},
                      TransferCase{"SetUserInfoW", &CallWith<&WebTarget::SetUserInfoW>, true,
                                   "/cgi-bin/mainte/userimport.cgi"},
                      TransferCase{"GetProxyInfoW", &CallWith<&WebTarget::GetProxyInfoW>, false,
                                   "/cgi-bin/mainte/proxyexport.cgi"},
                      TransferCase{"SetProxyInfoW", &CallWith<&WebTarget::SetProxyInfoW>, true,
                                   "/cgi-bin/mainte/proxyimport.cgi"}),
    [](const auto& c) { return std::string(c.param.name); });

class UploadExport : public ExportTest {};

TEST_F(UploadExport, MultipartBodyByteForByte) {
  const std::string head =
      "--fromZCcomUtil\r\nContent-Disposition: form-data; name=\"userinfo\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n";
  const std::string tail = "\r\n--fromZCcomUtil\r\n";
  for (const std::string& content : {std::string(), std::string("a\0b\r\n", 5)}) {
    sim_->ClearRequests();
    const auto file = dir_ / "up.bin";
    WriteFile(file, content);
    MessageBuffer message;
    ASSERT_EQ(target_->SetUserInfoW(whost().c_str(), u"admin", u"secret", Local(file).c_str(),
                                    message.units),
              0);
    const auto requests = sim_->Requests();
    const auto& post = requests[requests.size() - 2];
    EXPECT_EQ(post.path, "/cgi-bin/mainte/userimport.cgi");
    EXPECT_EQ(post.body, head + content + tail);
    EXPECT_EQ(post.Header("Content-Type"), "multipart/form-data; boundary=fromZCcomUtil");
    EXPECT_EQ(post.Header("Content-Length"),
              std::to_string(head.size() + content.size() + tail.size()));
  }
}

TEST_F(UploadExport, MissingFileUploadsNothingAndNamesIt) {
  const auto missing = dir_ / "no-such.csv";
  MessageBuffer message;
  EXPECT_EQ(target_->SetProxyInfoW(whost().c_str(), u"admin", u"secret", Local(missing).c_str(),
                                   message.units),
            99);
  EXPECT_EQ(message.text(), u"File open error. FileName:[" + Local(missing) + u"]");
  const auto requests = sim_->Requests();
  for (const auto& r : requests) EXPECT_NE(r.path, "/cgi-bin/mainte/proxyimport.cgi");
  EXPECT_EQ(requests.back().path, kLogout);
}

// A file whose size at opening is not its length (the kernel's files show 0 and hold text)
// must not go out as a body longer than announced: 99 naming it, and the sign-out still works.
TEST_F(UploadExport, FileThatGrowsAfterOpeningFailsAndNamesIt) {
  const std::filesystem::path growing = "/proc/self/stat";
  if (!std::filesystem::exists(growing)) GTEST_SKIP() << "no /proc here";
  MessageBuffer message;
  EXPECT_EQ(target_->SetUserInfoW(whost().c_str(), u"admin", u"secret", Local(growing).c_str(),
                                  message.units),
            99);
  EXPECT_EQ(message.text(),
            u"The file changed size during the upload. FileName:[" + Local(growing) + u"]");
  const auto requests = sim_->Requests();
  for (const auto& r : requests) {
    if (r.path == "/cgi-bin/mainte/userimport.cgi") {
      EXPECT_LT(r.body.size(), std::stoul(r.Header("Content-Length")))
          << "no body may arrive complete";
    }
  }
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().path, kLogout);
}

TEST_F(UploadExport, FiftyMegabytesArriveWhole) {
  std::string content(50u << 20, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 >> 7);
  const auto file = dir_ / "big.bin";
  WriteFile(file, content);
  MessageBuffer message;
  ASSERT_EQ(target_->SetUserInfoW(whost().c_str(), u"admin", u"secret", Local(file).c_str(),
                                  message.units),
            0);
  EXPECT_TRUE(sim_->StoredUpload("/cgi-bin/mainte/userimport.cgi") == content);
}

// --- the job log's re-encoding ----------------------------------------------------------

class JobLogExport : public ExportTest {
 protected:
  // Downloads a job log of exactly these bytes and returns what the target stored.
  std::string Stored(const std::string& answer) {
    std::string hex;
    for (unsigned char c : answer) {
      static const char kHex[] = "0123456789abcdef";
      hex.push_back(kHex[c >> 4]);
      hex.push_back(kHex[c & 15]);
    }
    sim_->Configure({{"job_log_hex", hex}});
    const auto file = dir_ / "log.txt";
    WriteFile(file, "old");
    MessageBuffer message;
    const int result = target_->GetJobLogW(whost().c_str(), u"logger", u"logpass",
                                           Local(file).c_str(), message.units);
    EXPECT_EQ(result, 0);
    return ReadFile(file);
  }
};

TEST_F(JobLogExport, MalformedUtf8IsReplacedAndZeroCuts) {
  const std::string r = "\xef\xbf\xbd";
  const std::pair<std::string, std::string> cases[] = {{"ok \xc3\xa9\n", "ok \xc3\xa9\n"},
                                                       {"a\x80"
                                                        "b",
                                                        "a" + r + "b"},
                                                       {"\xe3\x81", r},
                                                       {"\xc0\xaf", r + r},
                                                       {"\xed\xa0\x80", r + r + r},
                                                       {"\xf5\xff", r + r},
                                                       {std::string("keep\0drop", 9), "keep"},
                                                       {"", ""}};
  for (const auto& [in, out] : cases) EXPECT_EQ(Stored(in), out);
}

// The converter's own table, end to end: every target stores the same bytes.
TEST_F(JobLogExport, StoresTheConvertersTableByteForByte) {
  for (const auto& c : testing::RecodeCases()) EXPECT_EQ(Stored(c.in), c.out) << c.name;
}

TEST_F(JobLogExport, NoLoginAgainstAnOpenApplianceStillSignsOut) {
  sim_->Configure({{"mchiman", 0}});
  const auto file = dir_ / "log.txt";
  MessageBuffer message;
  EXPECT_EQ(target_->GetJobLogNoLoginW(whost().c_str(), Local(file).c_str(), message.units), 0);
  EXPECT_FALSE(ReadFile(file).empty());
  const auto requests = sim_->Requests();
  for (const auto& r : requests) EXPECT_NE(r.path, "/cgi-bin/userlogin/login.cgi");
  EXPECT_EQ(requests.back().path, kLogout);
  const std::string& body = requests.back().body;
  EXPECT_EQ(body.rfind("authUser=&authTime=", 0), 0u) << body;
  EXPECT_EQ(body.substr(body.size() - 29), "&Zephyrcastle=1&execute=Login") << body;
}

}  // namespace
}  // namespace tarn::web
