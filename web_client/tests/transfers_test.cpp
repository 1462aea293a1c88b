// The transfer operations of the session object, where a local file lets them down.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "http_helper.h"
#include "reference_md5.h"
#include "web_test_env.h"

namespace tarn::web {
namespace {

using testing::ReadFile;
using testing::WebTest;
using testing::WriteFile;

constexpr char kLogin[] = "/cgi-bin/userlogin/login.cgi";
constexpr char kUserImport[] = "/cgi-bin/mainte/userimport.cgi";

class TransferOperation : public WebTest {
 protected:
  std::string Url(const std::string& path) const { return "http://" + host() + path; }
};

// After a 200 answer the answer has nowhere to go: a file error, not a silent success.
TEST_F(TransferOperation, PostWhoseDumpFileCannotBeCreated) {
  const auto upload = dir_ / "users.csv";
  WriteFile(upload, "a,b\n");
  struct Case {
    const char* name;
    const char* path;
    int (*run)(CHttpHelper&, const std::string& url, const std::string& upload);
  } cases[] = {
      {"login form", kLogin,
       [](CHttpHelper& h, const std::string& url, const std::string&) {
         return h.PostLoginForm(url);
       }},
      {"multipart upload", kUserImport,
       [](CHttpHelper& h, const std::string& url, const std::string& file) {
         return h.PostMultipartFile(url, file);
       }},
  };
  for (const auto& c : cases) {
    sim_->ClearRequests();
    CHttpHelper helper(0);
    helper.m_strDumpPath = (dir_ / "missing-folder" / "htmlDump.htm").string();
    EXPECT_EQ(c.run(helper, Url(c.path), upload.string()), 99) << c.name;
    EXPECT_EQ(helper.m_strLastError, "File open error.") << c.name;
    EXPECT_EQ(helper.m_strStatusLine, "200 OK") << c.name;
    EXPECT_EQ(sim_->RequestsTo(c.path).size(), 1u) << c.name << ": the request itself went out";
  }
}

// A disk that fills up mid-answer ends the transfer with a text instead of a short file
// reported as complete.
TEST_F(TransferOperation, TargetThatCannotBeWrittenIsAFileError) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  sim_->Configure({{"mchiman", 0},
                   {"responses", {{"/big", {{"kind", "large"}, {"size", 1 << 20}}}}},
                   {"job_log_hex", "6a6f62206c6f670a"}});
  CHttpHelper download(0);
  EXPECT_EQ(download.DownloadToFile(Url("/big"), "/dev/full"), 99);
  EXPECT_NE(download.m_strLastError.find("FileName:[/dev/full]"), std::string::npos)
      << download.m_strLastError;

  CHttpHelper job_log(0);
  EXPECT_EQ(job_log.GetJobLog(host(), "/dev/full"), 99);
  EXPECT_NE(job_log.m_strLastError.find("FileName:[/dev/full]"), std::string::npos)
      << job_log.m_strLastError;
  EXPECT_EQ(job_log.Logout(host()), 0) << "the object stays usable";
}

// A finished download takes the place of the file a link names, keeps that file's mode, and
// leaves the link a link; a failed one leaves both as they were.
TEST_F(TransferOperation, DownloadThroughALinkKeepsTheLinkAndTheMode) {
  sim_->Configure({{"responses",
                    {{"/new", {{"body", "new copy\n"}}},
                     {"/cut", {{"body", std::string(5000, 'x')}, {"cut_after", 100}}}}}});
  const auto real = dir_ / "store" / "users.csv";
  std::filesystem::create_directories(real.parent_path());
  const auto link = dir_ / "users.csv";
  std::filesystem::create_symlink(real, link);
  WriteFile(real, "old copy\n");
  std::filesystem::permissions(real, std::filesystem::perms(0640));

  CHttpHelper cut(0);
  EXPECT_EQ(cut.DownloadToFile(Url("/cut"), link.string()), 99);
  EXPECT_EQ(ReadFile(real), "old copy\n");

  CHttpHelper whole(0);
  EXPECT_EQ(whole.DownloadToFile(Url("/new"), link.string()), 0) << whole.m_strLastError;
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadFile(real), "new copy\n");
  EXPECT_EQ(std::filesystem::status(real).permissions(), std::filesystem::perms(0640));
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(real.parent_path())) {
    ++entries;
    EXPECT_EQ(e.path(), real) << "left behind";
  }
  EXPECT_EQ(entries, 1u);
}

TEST_F(TransferOperation, JobLogWithoutCredentialsSignsInAsNobody) {
  // An appliance that wants a sign-in gets an empty user and the digest of the bare salt.
  sim_->Configure({{"login_page", {{"challenge", "abc"}, {"auth_time", "77"}}}});
  CHttpHelper helper(0);
  const auto target = dir_ / "log.txt";
  WriteFile(target, "untouched");
  EXPECT_EQ(helper.GetJobLog(host(), target.string()), 91);
  const auto posts = sim_->RequestsTo(kLogin);
  ASSERT_EQ(posts.size(), 1u);
  const std::string response =
      testing::ReferenceMd5Hex("abc:77:" + testing::ReferenceMd5Hex(":qm4vr7:"));
  EXPECT_EQ(posts[0].body,
            "authUser=&authTime=77&authMD5out=" + response + "&Zephyrcastle=1&execute=Login");
  EXPECT_EQ(ReadFile(target), "untouched");
}

}  // namespace
}  // namespace tarn::web
