// What the platform's HTTP and file layers must not add to the exports: answers from a cache,
// cookies that outlive their call, file names misread through a code page, a call that waits
// for ever, a proxy switch that does not switch. The same cases run on every target.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "export_test_env.h"

namespace tarn::web {
namespace {

using testing::ExportTest;
using testing::MessageBuffer;
using testing::ReadFile;
using testing::Utf16;
using testing::Utf8;
using testing::WriteFile;

constexpr char kStatus[] = "/script/_userlogin/zc_auth.shp";
constexpr char kPage[] = "/script/_userlogin/userlogin_zc.shp";
constexpr char kLogout[] = "/cgi-bin/userlogin/logout.cgi";
constexpr char kUserExport[] = "/cgi-bin/mainte/userexport.cgi";
constexpr char kUserImport[] = "/cgi-bin/mainte/userimport.cgi";

std::set<std::filesystem::path> Entries(const std::filesystem::path& dir) {
  std::set<std::filesystem::path> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path());
  return names;
}

// The status answer before the sign-in must never stand in for the one after it, nor one
// call's answer for the next call's.
class CacheableAnswerExport : public ExportTest {};

TEST_F(CacheableAnswerExport, EveryGetReachesTheApplianceAndNothingIsStored) {
  sim_->Configure({{"headers", {{"Cache-Control", "public, max-age=3600"}}}});
  const auto file = dir_ / "users.csv";
  MessageBuffer message;
  for (int call = 0; call < 2; ++call) {
    ASSERT_EQ(target_->GetUserInfoW(whost().c_str(), u"admin", u"secret", Local(file).c_str(),
                                    message.units),
              0)
        << "call " << call;
  }
  EXPECT_EQ(target_->GetDeviceStatusMchimanW(whost().c_str(), message.units), 1);
  sim_->Configure({{"mchiman", 7}});
  EXPECT_EQ(target_->GetDeviceStatusMchimanW(whost().c_str(), message.units), 7);
  EXPECT_TRUE(message.untouched());

  size_t gets = 0;
  for (const auto& r : sim_->Requests()) gets += r.method == "GET";
  EXPECT_EQ(gets, 2 * 4 + 2u) << "status, page, status and data per transfer; one status each";
  for (const char* path : {kStatus, kPage, kUserExport}) {
    EXPECT_FALSE(target_->CacheHolds(sim_->Url(path)))
        << path << " is in " << target_->name() << "'s cache";
  }
}

class CookieExport : public ExportTest {};

TEST_F(CookieExport, EachCallStartsWithoutTheCookiesOfTheLast) {
  const auto file = dir_ / "users.csv";
  MessageBuffer message;
  ASSERT_EQ(target_->GetUserInfoW(whost().c_str(), u"admin", u"secret", Local(file).c_str(),
                                  message.units),
            0);
  const size_t first_call = sim_->Requests().size();
  ASSERT_EQ(target_->GetJobLogW(whost().c_str(), u"logger", u"logpass", Local(file).c_str(),
                                message.units),
            0);
  const auto requests = sim_->Requests();
  ASSERT_GT(requests.size(), first_call + 1);
  EXPECT_FALSE(requests[first_call].HasHeader("Cookie"))
      << "carried over: " << requests[first_call].Header("Cookie");
  // Within the call the appliance's session travels, and it is the call's own.
  const std::string session = requests[first_call + 1].Header("Cookie");
  EXPECT_FALSE(session.empty());
  EXPECT_NE(session, requests[1].Header("Cookie"));
  EXPECT_EQ(requests.back().path, kLogout);
  EXPECT_EQ(requests.back().Header("Cookie"), session);
}

// Host file names arrive as UTF-16 and live in the narrow form in between: the name must come
// back to the same file, or not at all.
class LocalFileNameExport : public ExportTest {};

TEST_F(LocalFileNameExport, NonAsciiNameNamesTheRightFile) {
  const std::u16string upload_name = u"caf\u00e9 \u00fcber.csv";
  const std::u16string download_name = u"t\u00e9l\u00e9charg\u00e9.csv";
  ASSERT_EQ(target_->ThroughNarrow(upload_name), upload_name)
      << target_->name() << "'s narrow form cannot hold the name";
  const auto upload = dir_ / upload_name;
  const auto download = dir_ / download_name;
  WriteFile(upload, "user,name\r\nmiller,M\xc3\xbcller\r\n");
  MessageBuffer message;
  EXPECT_EQ(target_->SetUserInfoW(whost().c_str(), u"admin", u"secret", Local(upload).c_str(),
                                  message.units),
            0)
      << Utf8(message.text());
  EXPECT_EQ(sim_->StoredUpload(kUserImport), ReadFile(upload));

  const auto before = Entries(dir_);
  sim_->Configure({{"user_list", "from the appliance\r\n"}});
  EXPECT_EQ(target_->GetUserInfoW(whost().c_str(), u"admin", u"secret", Local(download).c_str(),
                                  message.units),
            0)
      << Utf8(message.text());
  EXPECT_EQ(ReadFile(download), "from the appliance\r\n");
  auto after = Entries(dir_);
  after.erase(download);
  EXPECT_EQ(after, before) << "no file under another name";
}

TEST_F(LocalFileNameExport, NameTheNarrowFormCannotHoldIsAFileError) {
  const std::u16string strange = u"\u3042";
  if (target_->ThroughNarrow(strange) == strange) {
    GTEST_SKIP() << target_->name() << "'s narrow form holds every character";
  }
  const auto upload = dir_ / (u"up-" + strange + u".csv");
  const auto download = dir_ / (u"down-" + strange + u".csv");
  // The file exists under its real name: what the narrow form names instead must not open.
  WriteFile(upload, "a,b\r\n");
  const auto before = Entries(dir_);
  MessageBuffer message;
  EXPECT_EQ(target_->SetUserInfoW(whost().c_str(), u"admin", u"secret", Local(upload).c_str(),
                                  message.units),
            99);
  EXPECT_EQ(message.text(),
            u"File open error. FileName:[" + target_->ThroughNarrow(Local(upload)) + u"]");
  EXPECT_TRUE(sim_->RequestsTo(kUserImport).empty()) << "nothing uploaded";

  MessageBuffer second;
  EXPECT_EQ(target_->GetUserInfoW(whost().c_str(), u"admin", u"secret", Local(download).c_str(),
                                  second.units),
            99);
  EXPECT_EQ(second.text(),
            u"File open error. FileName:[" + target_->ThroughNarrow(Local(download)) + u"]");
  auto after = Entries(dir_);
  after.erase(dump());
  auto expected = before;
  expected.erase(dump());
  EXPECT_EQ(after, expected) << "nothing written under any name";
}

// A server that takes the request and never answers: the call ends with the HTTP layer's
// text once its limit for a silent server has passed, instead of holding the host for ever.
// A download that fails part way must not cost the user the file they had.
class InterruptedDownloadExport : public ExportTest {};

TEST_F(InterruptedDownloadExport, PreviousFileStaysAndNothingIsLeftBeside) {
  const std::string body(200000, 'u');
  const struct {
    const char* name;
    nlohmann::json answer;
    int result;
    bool replaced;
  } cases[] = {
      {"cut in the body", {{"body", body}, {"cut_after", 70000}}, 99, false},
      {"cut before the body", {{"body", body}, {"cut_after", 0}}, 99, false},
      {"refused", {{"status", 404}}, 98, false},
      {"whole", {{"body", body}}, 0, true},
  };
  const auto file = dir_ / "users.csv";
  for (const auto& c : cases) {
    for (const char* object : {kUserExport, "/cgi-bin/log/jobLog.cgi"}) {
      sim_->Reset();
      sim_->Configure({{"responses", {{object, c.answer}}}});
      WriteFile(file, "the user's last good copy\n");
      MessageBuffer message;
      const bool job_log = std::string(object) != kUserExport;
      const int result = job_log ? target_->GetJobLogW(whost().c_str(), u"admin", u"secret",
                                                       Local(file).c_str(), message.units)
                                 : target_->GetUserInfoW(whost().c_str(), u"admin", u"secret",
                                                         Local(file).c_str(), message.units);
      EXPECT_EQ(result, c.result) << c.name << " " << object << ": " << Utf8(message.text());
      EXPECT_EQ(ReadFile(file), c.replaced ? body : "the user's last good copy\n")
          << c.name << " " << object;
      const auto left = Entries(dir_);
      EXPECT_EQ(left, (std::set<std::filesystem::path>{file, dir_ / "htmlDump.htm"}))
          << c.name << " " << object;
    }
  }
}

class StalledServerExport : public ExportTest {};

TEST_F(StalledServerExport, GivesUpWithAText) {
  sim_->Configure({{"responses", {{kStatus, {{"hang", true}}}}}});
  MessageBuffer message;
  EXPECT_EQ(target_->GetDeviceStatusMchimanW(whost().c_str(), message.units), 99);
  EXPECT_FALSE(message.text().empty());

  sim_->Reset();
  sim_->Configure({{"responses", {{kUserImport, {{"hang", true}}}}}});
  const auto file = dir_ / "users.csv";
  WriteFile(file, "a,b\r\n");
  MessageBuffer upload;
  EXPECT_EQ(target_->SetUserInfoW(whost().c_str(), u"admin", u"secret", Local(file).c_str(),
                                  upload.units),
            99);
  EXPECT_FALSE(upload.text().empty());
  const auto requests = sim_->Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().path, kLogout) << "the sign-out still goes out";
}

// Half a byte a second for 36 s: slow, but never 30 s without a byte, so it is no stall.
TEST_F(StalledServerExport, SlowAnswerThatKeepsMovingIsTakenWhole) {
  sim_->Configure(
      {{"responses", {{kStatus, {{"body", "mchiman=5\r\n#######"}, {"trickle_ms", 2000}}}}}});
  MessageBuffer message;
  EXPECT_EQ(target_->GetDeviceStatusMchimanW(whost().c_str(), message.units), 5)
      << Utf8(message.text());
}

// Its own suite: under Wine the proxy comes from the environment the process starts with.
class ProxyExport : public ExportTest {
 protected:
  void TearDown() override {
    target_->SetEnv("http_proxy", std::nullopt);
    ExportTest::TearDown();
  }
};

TEST_F(ProxyExport, SwitchChoosesBetweenThePlatformsProxyAndDirect) {
  // The simulator doubles as the proxy: a request reaching it in absolute form came that way.
  // Nothing listens on port 1, so only the proxy can answer for it.
  target_->SetEnv("http_proxy", u"http://" + whost());
  MessageBuffer message;
  EXPECT_EQ(target_->GetDeviceStatusMchimanW(u"127.0.0.1:1", message.units), 1)
      << Utf8(message.text());
  auto requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].proxied);
  EXPECT_EQ(requests[0].target, "http://127.0.0.1:1" + std::string(kStatus));

  sim_->ClearRequests();
  target_->SetProxySetting(0);
  EXPECT_EQ(target_->GetDeviceStatusMchimanW(whost().c_str(), message.units), 1)
      << Utf8(message.text());
  EXPECT_EQ(target_->GetDeviceStatusMchimanW(u"127.0.0.1:1", message.units), 99);
  requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].proxied);
  EXPECT_EQ(requests[0].path, kStatus);
}

// With a proxy in the way an address without a host would still find a machine to go to.
TEST_F(ProxyExport, AddressWithoutHostSendsNothing) {
  target_->SetEnv("http_proxy", u"http://" + whost());
  const std::u16string too_long(256, u'a');
  const struct {
    const char* name;
    const TARN_WCHAR* host;
  } cases[] = {{"empty", u""},
               {"null", nullptr},
               {"256 units", too_long.c_str()},
               {"port only", u":80"},
               {"path only", u"/x"}};
  const auto file = dir_ / "users.csv";
  for (const auto& c : cases) {
    MessageBuffer status;
    EXPECT_EQ(target_->GetDeviceStatusMchimanW(c.host, status.units), 99) << c.name;
    EXPECT_NE(Utf8(status.text()).find("host"), std::string::npos) << c.name;
    MessageBuffer transfer;
    EXPECT_EQ(
        target_->GetUserInfoW(c.host, u"admin", u"secret", Local(file).c_str(), transfer.units), 99)
        << c.name;
    EXPECT_FALSE(transfer.text().empty()) << c.name;
  }
  EXPECT_TRUE(sim_->Requests().empty()) << "a request left for " << sim_->Requests()[0].target;
  EXPECT_FALSE(std::filesystem::exists(file));
}

// "host:" names no port: the posts go where the gets go, to the default HTTP port.
TEST_F(ProxyExport, EmptyPortMeansTheDefaultForEveryRequest) {
  target_->SetEnv("http_proxy", u"http://" + whost());
  const auto file = dir_ / "users.csv";
  MessageBuffer message;
  EXPECT_EQ(
      target_->GetUserInfoW(u"127.0.0.1:", u"admin", u"secret", Local(file).c_str(), message.units),
      0)
      << Utf8(message.text());
  const auto requests = sim_->Requests();
  ASSERT_GE(requests.size(), 6u);
  for (const auto& r : requests) {
    ASSERT_TRUE(r.proxied) << r.target;
    const std::string authority = r.target.substr(7, r.target.find('/', 7) - 7);
    EXPECT_TRUE(authority == "127.0.0.1" || authority == "127.0.0.1:80")
        << r.method << " " << r.target;
  }
}

}  // namespace
}  // namespace tarn::web
