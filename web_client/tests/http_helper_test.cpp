#include <gtest/gtest.h>

#include <new>
#include <string>

#include "http_helper.h"
#include "web_test_env.h"

namespace tarn::web {
namespace {

using testing::ReadFile;
using testing::WebTest;
using testing::WriteFile;

class SessionTest : public WebTest {};

TEST_F(SessionTest, StatusLinesSetTheirNumbers) {
  struct Case {
    std::string line;
    bool sets;
    int value;
  } cases[] = {{"mchiman=1", true, 1},
               {"mchiman= 7", true, 7},
               {"mchiman=-2", true, -2},
               {"mchiman=3abc", true, 3},
               {"mchiman=1\r", true, 1},
               {"mchiman =1", false, 0},
               {" mchiman=1", false, 0},
               {"MCHIMAN=1", false, 0},
               {"mchiman=x", false, 0},
               {"mchiman", false, 0},
               {"mchiman=", false, 0},
               {"=1", false, 0},
               {"mchiman=99999999999", true, INT32_MAX}};
  for (const auto& c : cases) {
    CHttpHelper helper(0);
    WriteFile(dump(), "authcpy=5\n" + c.line + "\n");
    helper.m_nMchiman = 42;
    ASSERT_EQ(helper.ParseStatusFile(), 0);
    EXPECT_EQ(helper.m_nMchiman, c.sets ? c.value : 0) << c.line;
    EXPECT_EQ(helper.m_nAuthCpy, 5);
  }
  CHttpHelper helper(0);
  WriteFile(dump(), "mchiman=1\nauthdli=2\nauthfle=3\nauthprt=4\niccard_operation=6\nmchiman=9");
  ASSERT_EQ(helper.ParseStatusFile(), 0);
  EXPECT_EQ(helper.m_nMchiman, 9) << "the later line counts, the last needs no line feed";
  EXPECT_EQ(helper.m_nAuthDli, 2);
  EXPECT_EQ(helper.m_nAuthFle, 3);
  EXPECT_EQ(helper.m_nAuthPrt, 4);
  EXPECT_EQ(helper.m_nIcCardOperation, 6);
  WriteFile(dump(), std::string(256, 'k') + "=1\nmchiman=2\n");
  ASSERT_EQ(helper.ParseStatusFile(), 0);
  EXPECT_EQ(helper.m_nMchiman, 2) << "an over-long key is skipped";
}

TEST_F(SessionTest, RightsLinesSetTheirFlags) {
  struct Case {
    std::string line;
    int user_known, user_is_admin, admin, job, log;
  } cases[] = {{"target=ADMIN,LOG", 0, 0, 1, 0, 1},
               {"target=JOB LOG", 0, 0, 0, 1, 0},
               {"target=LOGADMIN", 0, 0, 1, 0, 1},
               {"target=admin,log", 0, 0, 0, 0, 0},
               {"user=ADMIN", 1, 1, 0, 0, 0},
               {"user=admin", 1, 0, 0, 0, 0},
               {"user=", 0, 0, 0, 0, 0},
               {"user= \r", 0, 0, 0, 0, 0},
               {"user= bob\r", 1, 0, 0, 0, 0},
               {"target=" + std::string(256, 'A'), 0, 0, 0, 0, 0}};
  for (const auto& c : cases) {
    CHttpHelper helper(0);
    WriteFile(dump(), c.line + "\n");
    ASSERT_EQ(helper.ParseRightsFile(), 0);
    EXPECT_EQ(helper.m_bUserKnown, c.user_known) << c.line;
    EXPECT_EQ(helper.m_bUserIsAdmin, c.user_is_admin) << c.line;
    EXPECT_EQ(helper.m_bAdminRight, c.admin) << c.line;
    EXPECT_EQ(helper.m_bJobRight, c.job) << c.line;
    EXPECT_EQ(helper.m_bLogRight, c.log) << c.line;
  }
}

TEST_F(SessionTest, MissingDumpFileIsAFileError) {
  CHttpHelper helper(0);
  EXPECT_EQ(helper.ParseStatusFile(), 99);
  EXPECT_EQ(helper.m_strLastError, "File open error.");
  EXPECT_EQ(helper.ParseRightsFile(), 99);
  EXPECT_EQ(helper.CheckAnswerFile((dir_ / "none").string()), 99);
}

TEST_F(SessionTest, LastMarkerDecidesAndDumpFileIgnoresHtml) {
  const std::string html = "<html>";
  const std::string ng = "x Zephyrcastle NG y";
  const auto data = dir_ / "data.txt";
  CHttpHelper helper(0);
  helper.m_strLastError = "kept";
  WriteFile(data, "1\n2\n" + html + "\n4\n" + ng + "\n");
  EXPECT_EQ(helper.CheckAnswerFile(data.string()), 95);
  WriteFile(data, "1\n2\n" + ng + "\n4\n" + html + "\n");
  EXPECT_EQ(helper.CheckAnswerFile(data.string()), 96);
  WriteFile(data, html + ng + "\n");
  EXPECT_EQ(helper.CheckAnswerFile(data.string()), 95) << "both on one line: the mark wins";
  WriteFile(data, "plain data\n");
  EXPECT_EQ(helper.CheckAnswerFile(data.string()), 0);
  WriteFile(dump(), html + "\n");
  EXPECT_EQ(helper.CheckAnswerFile(dump().string()), 0);
  WriteFile(dump(), html + "\n" + ng);
  EXPECT_EQ(helper.CheckAnswerFile(dump().string()), 95);
  EXPECT_EQ(helper.m_strLastError, "kept");
}

TEST_F(SessionTest, DumpFileFollowsTemp) {
  EXPECT_EQ(CHttpHelper(0).m_strDumpPath, dump().string());
  setenv("TEMP", "", 1);
  EXPECT_EQ(CHttpHelper(0).m_strDumpPath, "/tmp/htmlDump.htm");
  unsetenv("TEMP");
  EXPECT_EQ(CHttpHelper(0).m_strDumpPath, "/tmp/htmlDump.htm");
}

TEST_F(SessionTest, StatusTexts) {
  EXPECT_EQ(CHttpHelper::GetStatusText(200), "OK");
  EXPECT_EQ(CHttpHelper::GetStatusText(408), "Request Time-out");
  EXPECT_EQ(CHttpHelper::GetStatusText(505), "HTTP Version not supported");
  EXPECT_EQ(CHttpHelper::GetStatusText(299), "Undefined");
  EXPECT_EQ(CHttpHelper::GetStatusText(0), "Undefined");
}

TEST_F(SessionTest, DownloadsWriteTheBodyWhole) {
  struct Case {
    const char* kind;
    size_t size;
  } cases[] = {{"empty", 0}, {"exact1024", 1024}, {"large", 3 * 1024 * 1024 + 7}};
  for (const auto& c : cases) {
    sim_->Configure({{"responses", {{"/data", {{"kind", c.kind}, {"size", c.size}}}}}});
    const auto target = dir_ / "out.bin";
    WriteFile(target, "previous content that must go");
    CHttpHelper helper(0);
    ASSERT_EQ(helper.DownloadToFile("http://" + host() + "/data", target.string()), 0) << c.kind;
    const std::string data = ReadFile(target);
    ASSERT_EQ(data.size(), c.size) << c.kind;
    EXPECT_EQ(helper.m_strStatusLine, "200 OK");
    if (c.size == 1024) {
      std::string expected;
      for (int i = 0; i < 64; ++i) expected += "0123456789abcdef";
      EXPECT_EQ(data, expected);
    }
  }
}

TEST_F(SessionTest, RefusedAnswersGiveTheStatusLine) {
  struct Case {
    int status;
    std::string line;
  } cases[] = {{404, "404 Not Found"}, {500, "500 Internal Server Error"}, {299, "299 Undefined"}};
  for (const auto& c : cases) {
    sim_->Configure({{"responses", {{"/x", {{"status", c.status}, {"body", "ignored"}}}}}});
    const auto target = dir_ / "untouched.txt";
    WriteFile(target, "keep");
    CHttpHelper helper(0);
    EXPECT_EQ(helper.DownloadToFile("http://" + host() + "/x", target.string()), 98);
    EXPECT_EQ(helper.m_strStatusLine, c.line);
    EXPECT_EQ(helper.m_strLastError, c.line);
    EXPECT_EQ(ReadFile(target), "keep") << "the body of a refused answer is not stored";
  }
}

TEST_F(SessionTest, PercentGoesOutEscaped) {
  CHttpHelper helper(0);
  helper.DownloadToFile("http://" + host() + "/a%41b", (dir_ / "o").string());
  const auto requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/a%2541b");
  EXPECT_FALSE(requests[0].HasHeader("Expect"));
  EXPECT_FALSE(requests[0].HasHeader("Accept"));
}

TEST_F(SessionTest, UncreatableTargetIsAFileErrorNamingIt) {
  const std::string target = (dir_ / "missing-folder" / "out.txt").string();
  CHttpHelper helper(0);
  EXPECT_EQ(helper.DownloadToFile("http://" + host() + "/script/_userlogin/zc_auth.shp", target),
            99);
  EXPECT_EQ(helper.m_strLastError, "File open error. FileName:[" + target + "]");
}

TEST_F(SessionTest, ProxyFlagChoosesBetweenProxyAndDirect) {
  // The simulator doubles as the proxy: a request reaching it in absolute form came that way.
  setenv("http_proxy", ("http://" + host()).c_str(), 1);
  {
    CHttpHelper helper(1);
    EXPECT_EQ(helper.GetDeviceStatus("127.0.0.2:9"), 1) << helper.m_strLastError;
  }
  auto requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].proxied);
  EXPECT_EQ(requests[0].path, "/script/_userlogin/zc_auth.shp");

  sim_->ClearRequests();
  setenv("http_proxy", "http://127.0.0.1:9", 1);  // nothing listens there
  {
    CHttpHelper helper(0);
    EXPECT_EQ(helper.GetDeviceStatus(host()), 1) << helper.m_strLastError;
  }
  requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].proxied);
}

TEST_F(SessionTest, ServerThatNeverAnswersGivesUpWithAText) {
  sim_->Configure({{"responses", {{"/hang", {{"hang", true}}}}}});
  CHttpHelper helper(0);
  EXPECT_EQ(helper.DownloadToFile("http://" + host() + "/hang", (dir_ / "o").string()), 99);
  EXPECT_FALSE(helper.m_strLastError.empty());
}

// A sink that throws (memory exhausted mid-answer) must not unwind through libcurl: the
// exception reaches the caller and the session serves the next request.
TEST_F(SessionTest, ExceptionFromTheSinkLeavesTheSessionUsable) {
  struct Throwing final : HttpAnswerSink {
    bool OnStatus(unsigned) override { return true; }
    bool OnBody(const char*, size_t) override { throw std::bad_alloc(); }
  } throwing;
  struct Counting final : HttpAnswerSink {
    bool OnStatus(unsigned code) override {
      status = code;
      return true;
    }
    bool OnBody(const char*, size_t size) override {
      bytes += size;
      return true;
    }
    unsigned status = 0;
    size_t bytes = 0;
  } counting;
  sim_->Configure({{"responses", {{"/big", {{"kind", "large"}, {"size", 1 << 20}}}}}});
  auto session = CreateHttpSession();
  session->SetUseProxy(false);
  std::string error;
  EXPECT_THROW(session->Get("http://" + host() + "/big", throwing, error), std::bad_alloc);
  ASSERT_TRUE(session->Get("http://" + host() + "/big", counting, error)) << error;
  EXPECT_EQ(counting.status, 200u);
  EXPECT_EQ(counting.bytes, size_t{1} << 20);
}

}  // namespace
}  // namespace tarn::web
