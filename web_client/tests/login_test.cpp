#include <gtest/gtest.h>

#include <string>

#include "http_helper.h"
#include "reference_md5.h"
#include "web_test_env.h"

namespace tarn::web {
namespace {

using testing::WebTest;

constexpr char kLogin[] = "/cgi-bin/userlogin/login.cgi";
constexpr char kLogout[] = "/cgi-bin/userlogin/logout.cgi";
constexpr char kStatus[] = "/script/_userlogin/zc_auth.shp";
constexpr char kPage[] = "/script/_userlogin/userlogin_zc.shp";

std::string Md5Hex(const std::string& data) {
  return testing::ReferenceMd5Hex(data);
}

class LoginTest : public WebTest {
 protected:
  std::vector<std::string> Paths() {
    std::vector<std::string> paths;
    for (const auto& r : sim_->Requests()) paths.push_back(r.method + " " + r.path);
    return paths;
  }
  int SignIn(const std::string& user, const std::string& password, int right) {
    CHttpHelper helper(0);
    helper.SetCredentials(user, password);
    return helper.Login(host(), right);
  }
};

TEST_F(LoginTest, OutcomesByAccountAndRight) {
  struct Case {
    std::string user, password;
    int right;
    int result;
  } cases[] = {
      {"admin", "secret", 1, 0},    {"admin", "secret", 2, 0},   {"logger", "logpass", 1, 0},
      {"logger", "logpass", 2, 93}, {"nobody", "nopass", 1, 92}, {"nobody", "nopass", 2, 93},
      {"admin", "wrong", 2, 91},    {"ghost", "secret", 1, 91},  {"nobody", "nopass", 0, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(SignIn(c.user, c.password, c.right), c.result) << c.user << "/" << c.password;
  }
}

TEST_F(LoginTest, SequenceAndFormAsTheApplianceExpects) {
  ASSERT_EQ(SignIn("admin", "secret", 2), 0);
  const auto requests = sim_->Requests();
  ASSERT_EQ(Paths(), (std::vector<std::string>{
                         "GET " + std::string(kStatus), "GET " + std::string(kPage),
                         "POST " + std::string(kLogin), "GET " + std::string(kStatus)}));
  const auto& post = requests[2];
  EXPECT_EQ(post.Header("Content-type"), "application/x-www-form-urlencoded");
  EXPECT_FALSE(post.HasHeader("Expect"));
  // The body is exactly the five fields in order.
  const std::string& body = post.body;
  EXPECT_EQ(body.rfind("authUser=admin&authTime=", 0), 0u) << body;
  EXPECT_NE(body.find("&authMD5out="), std::string::npos);
  EXPECT_EQ(body.substr(body.size() - 29), "&Zephyrcastle=1&execute=Login");
  EXPECT_EQ(body.find("secret"), std::string::npos);
  for (const auto& r : requests) {
    EXPECT_EQ(r.body.find("secret"), std::string::npos);
    EXPECT_EQ(r.path.find("secret"), std::string::npos);
    for (const auto& [name, value] : r.headers) EXPECT_EQ(value.find("secret"), std::string::npos);
  }
}

TEST_F(LoginTest, DigestsMatchAnIndependentMd5) {
  sim_->Configure({{"login_page", {{"challenge", "c0ffee"}, {"auth_time", "20261210"}}}});
  CHttpHelper helper(0);
  helper.SetCredentials("admin", "secret");
  ASSERT_EQ(helper.Login(host(), 2), 0);
  const std::string credentials = Md5Hex("admin:qm4vr7:secret");
  EXPECT_EQ(helper.m_strAuthMD5out, Md5Hex("c0ffee:20261210:" + credentials));
  EXPECT_EQ(helper.m_strAuthMD5in, "c0ffee");
  EXPECT_EQ(helper.m_strAuthTime, "20261210");
}

TEST_F(LoginTest, NoSignInUnlessMchimanIsOne) {
  for (const nlohmann::json& mchiman : {nlohmann::json(0), nlohmann::json(2), nlohmann::json()}) {
    sim_->Reset();
    sim_->Configure({{"mchiman", mchiman}});
    EXPECT_EQ(SignIn("nobody", "wrong", 2), 0);
    EXPECT_EQ(Paths(), (std::vector<std::string>{"GET " + std::string(kStatus),
                                                 "GET " + std::string(kPage)}));
  }
  sim_->Configure({{"responses", {{kPage, {{"status", 404}}}}}});
  CHttpHelper helper(0);
  EXPECT_EQ(helper.Login(host(), 1), 98) << "the login page must still answer";
  EXPECT_EQ(helper.m_strLastError, "404 Not Found");
}

TEST_F(LoginTest, LoginPageVariants) {
  // Without authTime the sign-in still goes out, over an empty time stamp.
  sim_->Configure({{"login_page", {{"omit_auth_time", true}}}});
  EXPECT_EQ(SignIn("admin", "secret", 2), 0);
  EXPECT_NE(sim_->Requests()[2].body.find("&authTime=&"), std::string::npos);

  // Tags with the name first, or in capitals, are not recognised: no challenge, no sign-in.
  for (const char* fault : {"name_first", "uppercase"}) {
    sim_->Reset();
    sim_->Configure({{"login_page", {{fault, true}}}});
    CHttpHelper helper(0);
    helper.SetCredentials("admin", "secret");
    EXPECT_EQ(helper.Login(host(), 2), 91) << fault;
    EXPECT_EQ(helper.m_strAuthMD5in, "") << fault;
  }

  // An over-long hidden field is skipped whole; the real fields after it still count.
  sim_->Reset();
  sim_->Configure({{"login_page", {{"long_field", 5000}}}});
  EXPECT_EQ(SignIn("admin", "secret", 2), 0);
}

TEST_F(LoginTest, UserNameIsFormEncodedAndTimeStampIsNot) {
  sim_->Configure({{"accounts", {{"a&b c", {{"password", "pw"}, {"target", "LOG"}}}}},
                   {"login_page", {{"auth_time", "t&1 2"}}}});
  EXPECT_EQ(SignIn("a&b c", "pw", 1), 0);
  const std::string body = sim_->Requests()[2].body;
  EXPECT_EQ(body.rfind("authUser=a%26b+c&authTime=t&1 2&", 0), 0u) << body;
}

TEST_F(LoginTest, SessionCookieStaysWithItsObject) {
  CHttpHelper helper(0);
  helper.SetCredentials("admin", "secret");
  ASSERT_EQ(helper.Login(host(), 2), 0);
  helper.Logout(host());
  CHttpHelper fresh(0);
  fresh.DownloadToFile("http://" + host() + kStatus, fresh.m_strDumpPath);
  const auto requests = sim_->Requests();
  ASSERT_EQ(requests.size(), 6u);
  const std::string cookie = requests[1].Header("Cookie");
  EXPECT_FALSE(cookie.empty());
  EXPECT_EQ(requests[3].Header("Cookie"), cookie) << "the rights query carries the session";
  EXPECT_EQ(requests[4].Header("Cookie"), cookie) << "so does the logout";
  EXPECT_EQ(requests[4].path, kLogout);
  EXPECT_FALSE(requests[5].HasHeader("Cookie")) << "a new object starts without it";
}

TEST_F(LoginTest, LogoutAfterAnEarlyFailurePostsEmptyFields) {
  sim_->Configure({{"responses", {{kStatus, {{"status", 500}}}}}});
  CHttpHelper helper(0);
  helper.SetCredentials("admin", "secret");
  EXPECT_EQ(helper.Login(host(), 2), 98);
  EXPECT_EQ(helper.m_strLastError, "500 Internal Server Error");
  helper.Logout(host());
  const auto requests = sim_->Requests();
  ASSERT_EQ(requests.back().path, kLogout);
  EXPECT_EQ(requests.back().body, "authUser=&authTime=&authMD5out=&Zephyrcastle=&execute=");
}

TEST_F(LoginTest, RefusedLoginPostIsAStatusError) {
  sim_->Configure({{"responses", {{kLogin, {{"status", 403}}}}}});
  CHttpHelper helper(0);
  helper.SetCredentials("admin", "secret");
  EXPECT_EQ(helper.Login(host(), 2), 98);
  EXPECT_EQ(helper.m_strLastError, "403 Forbidden");
}

}  // namespace
}  // namespace tarn::web
