// Checks of the appliance simulator itself, through a plain libcurl client and an independent
// MD5, so that a fault in the simulator does not hide behind (or mimic) one in the client.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <random>
#include <string>

#include "appliance_sim.h"

namespace tarn::test {
namespace {

std::string Md5Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// One client with its own cookie store, like one session object of the product.
class Client {
 public:
  explicit Client(std::string base) : base_(std::move(base)), curl_(curl_easy_init()) {
    curl_easy_setopt(curl_, CURLOPT_COOKIEFILE, "");
    curl_easy_setopt(curl_, CURLOPT_PROXY, "");
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, Collect);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &headers_);
  }
  ~Client() { curl_easy_cleanup(curl_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  long Get(const std::string& path, std::string& body) { return Send(path, nullptr, "", body); }
  long Post(const std::string& path, const std::string& data, const std::string& type,
            std::string& body) {
    return Send(path, &data, type, body);
  }
  // The header lines of the last answer, each ending in CR LF.
  const std::string& headers() const { return headers_; }

 private:
  long Send(const std::string& path, const std::string* data, const std::string& type,
            std::string& body) {
    body.clear();
    headers_.clear();
    curl_easy_setopt(curl_, CURLOPT_URL, (base_ + path).c_str());
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body);
    curl_slist* headers = nullptr;
    if (data != nullptr) {
      curl_easy_setopt(curl_, CURLOPT_POST, 1L);
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, data->data());
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(data->size()));
      headers = curl_slist_append(headers, ("Content-Type: " + type).c_str());
    } else {
      curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    long status = 0;
    if (curl_easy_perform(curl_) == CURLE_OK) {
      curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    }
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    return status;
  }

  std::string base_;
  std::string headers_;
  CURL* curl_;
};

std::string HiddenValue(const std::string& page, const std::string& name) {
  const std::string key = "name=\"" + name + "\" value=\"";
  const auto at = page.find(key);
  if (at == std::string::npos) return "";
  const auto start = at + key.size();
  return page.substr(start, page.find('"', start) - start);
}

const char kStatus[] = "/script/_userlogin/zc_auth.shp";
const char kLoginPage[] = "/script/_userlogin/userlogin_zc.shp";
const char kLogin[] = "/cgi-bin/userlogin/login.cgi";
const char kUserImport[] = "/cgi-bin/mainte/userimport.cgi";
const char kMultipartType[] = "multipart/form-data; boundary=fromZCcomUtil";

// Fetches the login page and posts the answer for `user`/`password`; returns the status page
// seen afterwards.
std::string SignIn(Client& client, const std::string& user, const std::string& password) {
  std::string page;
  EXPECT_EQ(client.Get(kLoginPage, page), 200);
  const std::string challenge = HiddenValue(page, "authMD5in");
  const std::string stamp = HiddenValue(page, "authTime");
  const std::string response =
      Md5Hex(challenge + ":" + stamp + ":" + Md5Hex(user + ":qm4vr7:" + password));
  std::string answer;
  EXPECT_EQ(client.Post(kLogin,
                        "authUser=" + user + "&authTime=" + stamp + "&authMD5out=" + response +
                            "&Zephyrcastle=1&execute=Login",
                        "application/x-www-form-urlencoded", answer),
            200);
  std::string status;
  EXPECT_EQ(client.Get(kStatus, status), 200);
  return status;
}

std::string Multipart(const std::string& file) {
  return "--fromZCcomUtil\r\nContent-Disposition: form-data; name=\"userinfo\"\r\n"
         "Content-Type: application/octet-stream\r\n\r\n" +
         file + "\r\n--fromZCcomUtil\r\n";
}

class ApplianceSimTest : public ::testing::Test {
 protected:
  ApplianceSim sim_;
};

TEST_F(ApplianceSimTest, SignInNeedsTheRightDigestAndGrantsTheAccountsRights) {
  struct Case {
    const char* user;
    const char* password;
    const char* rights;  // nullptr: refused
  } cases[] = {{"admin", "secret", "user=admin\r\ntarget=ADMIN,JOB,LOG\r\n"},
               {"logger", "logpass", "user=logger\r\ntarget=LOG\r\n"},
               {"nobody", "nopass", "user=nobody\r\ntarget=\r\n"},
               {"admin", "wrong", nullptr},
               {"stranger", "secret", nullptr}};
  for (const auto& c : cases) {
    Client client(sim_.Url(""));
    const std::string status = SignIn(client, c.user, c.password);
    EXPECT_EQ(status.rfind("mchiman=1\r\n", 0), 0u) << status;
    if (c.rights != nullptr) {
      EXPECT_NE(status.find(c.rights), std::string::npos) << c.user << ": " << status;
    } else {
      EXPECT_EQ(status.find("user="), std::string::npos) << c.user << ": " << status;
    }
  }
}

TEST_F(ApplianceSimTest, SessionsAreKeptApartAndEndWithLogout) {
  Client signed_in(sim_.Url(""));
  Client other(sim_.Url(""));
  ASSERT_NE(SignIn(signed_in, "admin", "secret").find("user=admin"), std::string::npos);
  std::string body;
  EXPECT_EQ(other.Get("/cgi-bin/mainte/userexport.cgi", body), 200);
  EXPECT_NE(body.find("login required"), std::string::npos) << "another cookie is not signed in";
  EXPECT_EQ(signed_in.Get("/cgi-bin/mainte/userexport.cgi", body), 200);
  EXPECT_EQ(body, "user,name,card\r\nadmin,Administrator,01020304\r\n");

  // A fresh challenge replaces the old one: an answer to the earlier page no longer works.
  std::string first;
  std::string second;
  ASSERT_EQ(other.Get(kLoginPage, first), 200);
  ASSERT_EQ(other.Get(kLoginPage, second), 200);
  EXPECT_NE(HiddenValue(first, "authMD5in"), HiddenValue(second, "authMD5in"));
  const std::string stale =
      Md5Hex(HiddenValue(first, "authMD5in") + ":" + HiddenValue(first, "authTime") + ":" +
             Md5Hex("admin:qm4vr7:secret"));
  other.Post(kLogin, "authUser=admin&authTime=&authMD5out=" + stale + "&Zephyrcastle=1",
             "application/x-www-form-urlencoded", body);
  EXPECT_EQ(other.Get(kStatus, body), 200);
  EXPECT_EQ(body.find("user="), std::string::npos);

  EXPECT_EQ(signed_in.Post("/cgi-bin/userlogin/logout.cgi", "", "text/plain", body), 200);
  EXPECT_EQ(signed_in.Get("/cgi-bin/mainte/userexport.cgi", body), 200);
  EXPECT_NE(body.find("login required"), std::string::npos);
}

TEST_F(ApplianceSimTest, LoginPageFaultsAreStaged) {
  struct Case {
    nlohmann::json fault;
    std::string present;
    const char* absent;
  } cases[] = {
      {{{"omit_auth_time", true}}, "name=\"authMD5in\"", "authTime"},
      {{{"name_first", true}}, "<input name=\"authMD5in\" type=\"hidden\" value=\"", nullptr},
      {{{"uppercase", true}},
       "<INPUT TYPE=\"HIDDEN\" NAME=\"authMD5in\" VALUE=\"",
       "type=\"hidden\""},
      {{{"long_field", 300}},
       "name=\"" + std::string(300, 'n') + "\" value=\"" + std::string(300, 'v'),
       nullptr},
  };
  for (const auto& c : cases) {
    sim_.Reset();
    sim_.Configure({{"login_page", c.fault}});
    Client client(sim_.Url(""));
    std::string page;
    ASSERT_EQ(client.Get(kLoginPage, page), 200);
    EXPECT_NE(page.find(c.present), std::string::npos) << c.fault << "\n" << page;
    if (c.absent != nullptr) {
      EXPECT_EQ(page.find(c.absent), std::string::npos) << page;
    }
  }
  // Without the time stamp on the page, a digest over an empty one is what signs in.
  sim_.Reset();
  sim_.Configure({{"login_page", {{"omit_auth_time", true}}}});
  Client client(sim_.Url(""));
  EXPECT_NE(SignIn(client, "admin", "secret").find("user=admin"), std::string::npos);
}

TEST_F(ApplianceSimTest, ImportsTakeOnlyTheExactBody) {
  std::string file("line one\r\n--fromZCcomUtil\r\n\0\xff tail", 34);
  struct Case {
    std::string body;
    std::string type;
    long status;
  } cases[] = {
      {Multipart(file), kMultipartType, 200},
      {Multipart(""), kMultipartType, 200},
      {Multipart(file) + "--", kMultipartType, 400},
      {Multipart(file).substr(0, Multipart(file).size() - 2) + "--\r\n", kMultipartType, 400},
      {Multipart(file), "multipart/form-data; boundary=other", 400},
      {"authUser=x", "application/x-www-form-urlencoded", 400},
  };
  sim_.Configure({{"mchiman", 0}});
  for (const auto& c : cases) {
    sim_.Reset();
    sim_.Configure({{"mchiman", 0}});
    Client client(sim_.Url(""));
    std::string page;
    EXPECT_EQ(client.Post(kUserImport, c.body, c.type, page), c.status) << c.body;
    EXPECT_EQ(sim_.HasUpload(kUserImport), c.status == 200);
    if (c.status == 200) {
      EXPECT_EQ(sim_.StoredUpload(kUserImport), c.body == Multipart("") ? "" : file);
      EXPECT_EQ(page.find("Zephyrcastle NG"), std::string::npos);
    }
  }
  sim_.Configure({{"import_reject", true}});
  Client client(sim_.Url(""));
  std::string page;
  EXPECT_EQ(client.Post(kUserImport, Multipart(file), kMultipartType, page), 200);
  EXPECT_NE(page.find("Zephyrcastle NG"), std::string::npos);
}

TEST_F(ApplianceSimTest, LargeBodiesComeBackWhole) {
  std::mt19937 random(7);
  std::string file(3 * 1024 * 1024 + 5, '\0');
  for (auto& byte : file) byte = static_cast<char>(random());
  sim_.Configure({{"mchiman", 0}});
  Client client(sim_.Url(""));
  std::string page;
  ASSERT_EQ(client.Post(kUserImport, Multipart(file), kMultipartType, page), 200);
  EXPECT_EQ(sim_.StoredUpload(kUserImport), file);
  const auto requests = sim_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, Multipart(file));
  EXPECT_EQ(requests[0].Header("content-type"), kMultipartType);
  const auto cut = sim_.Requests(10);
  EXPECT_EQ(cut[0].body, Multipart(file).substr(0, 10));
  EXPECT_EQ(cut[0].body_size, Multipart(file).size());
}

TEST_F(ApplianceSimTest, OverridesCanSkipAndRunOut) {
  sim_.Configure({{"responses", {{kStatus, {{"status", 500}, {"skip", 1}, {"times", 2}}}}}});
  Client client(sim_.Url(""));
  std::string body;
  const long expected[] = {200, 500, 500, 200};
  for (long status : expected) EXPECT_EQ(client.Get(kStatus, body), status);
  sim_.Configure({{"responses", {{"/page", {{"kind", "large"}, {"size", 200000}}}}}});
  EXPECT_EQ(client.Get("/page", body), 200);
  EXPECT_EQ(body.size(), 200000u);
  EXPECT_EQ(body.find("<html>"), std::string::npos);
  EXPECT_EQ(client.Get("/nowhere", body), 404);
}

TEST_F(ApplianceSimTest, ConfiguredHeadersGoOnEveryAnswer) {
  const std::string cache = "Cache-Control: public, max-age=3600\r\n";
  const std::string extra = "X-Extra: 1\r\n";
  sim_.Configure({{"headers", {{"Cache-Control", "public, max-age=3600"}, {"X-Extra", "1"}}},
                  {"responses", {{"/big", {{"kind", "large"}, {"size", 100}}}}}});
  Client client(sim_.Url(""));
  std::string body;
  for (const char* path : {kStatus, kLoginPage, "/big", "/nowhere"}) {
    client.Get(path, body);
    EXPECT_NE(client.headers().find(cache), std::string::npos) << path << client.headers();
    EXPECT_NE(client.headers().find(extra), std::string::npos) << path << client.headers();
  }
  EXPECT_EQ(client.Post(kLogin, "authUser=x", "application/x-www-form-urlencoded", body), 200);
  EXPECT_NE(client.headers().find(cache), std::string::npos) << client.headers();

  // Entries merge one by one; a null one goes.
  sim_.Configure({{"headers", {{"X-Extra", nullptr}}}});
  client.Get(kStatus, body);
  EXPECT_NE(client.headers().find(cache), std::string::npos);
  EXPECT_EQ(client.headers().find("X-Extra"), std::string::npos);
  sim_.Reset();
  client.Get(kStatus, body);
  EXPECT_EQ(client.headers().find("Cache-Control"), std::string::npos) << "none by default";
}

TEST_F(ApplianceSimTest, BadCommandsAreRefusedAndTheSimulatorCarriesOn) {
  EXPECT_THROW(sim_.Command({{"cmd", "no such command"}}), std::runtime_error);
  EXPECT_THROW(sim_.Configure(nlohmann::json::array({1, 2})), std::runtime_error);
  EXPECT_TRUE(sim_.Command({{"cmd", "ping"}}).value("ok", false));
}

TEST(ApplianceSimStartup, StartupConfigurationIsWhatResetReturnsTo) {
  ApplianceSim sim({{"mchiman", 0}, {"status", {{"authcpy", 7}}}});
  sim.Configure({{"mchiman", 1}});
  sim.Reset();
  Client client(sim.Url(""));
  std::string body;
  ASSERT_EQ(client.Get(kStatus, body), 200);
  EXPECT_EQ(body.rfind("mchiman=0\r\nauthcpy=7\r\nauthdli=1\r\n", 0), 0u) << body;
}

}  // namespace
}  // namespace tarn::test
