#include <gtest/gtest.h>

#include <string>

#include "url_parts.h"

namespace tarn::web {
namespace {

struct SplitCase {
  std::string url;
  bool ok;
  std::string scheme;
  int scheme_code;
  std::string host;
  uint16_t port;
  std::string path;
  std::string extra;
  std::string user = "";
  std::string password = "";
};

void PrintTo(const SplitCase& c, std::ostream* os) {
  *os << c.url.substr(0, 60);
}

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, SplitsAsExpected) {
  const SplitCase& c = GetParam();
  CUrlParts parts;
  ASSERT_EQ(parts.Split(c.url), c.ok) << c.url;
  EXPECT_EQ(parts.scheme(), c.scheme);
  EXPECT_EQ(parts.scheme_code(), c.scheme_code);
  EXPECT_EQ(parts.host(), c.host);
  EXPECT_EQ(parts.port(), c.port);
  EXPECT_EQ(parts.path(), c.path);
  EXPECT_EQ(parts.extra(), c.extra);
  EXPECT_EQ(parts.user(), c.user);
  EXPECT_EQ(parts.password(), c.password);
}

const std::string k256(256, 'h');
const std::string k257(257, 'h');
const std::string k128(128, 'u');
const std::string k129(129, 'u');
const std::string kPath2048 = "/" + std::string(2047, 'p');

INSTANTIATE_TEST_SUITE_P(
    Addresses, SplitTest,
    ::testing::Values(
        SplitCase{"http://10.0.0.5/cgi-bin/userlogin/login.cgi", true, "http", 2, "10.0.0.5", 80,
                  "/cgi-bin/userlogin/login.cgi", ""},
        SplitCase{"http://srv:8080/cgi-bin/mainte/userimport.cgi", true, "http", 2, "srv", 8080,
                  "/cgi-bin/mainte/userimport.cgi", ""},
        SplitCase{"http://srv:/x", true, "http", 2, "srv", 0, "/x", ""},
        SplitCase{"http://srv:70000/x", true, "http", 2, "srv", 4464, "/x", ""},
        SplitCase{"http://[fe80::1]:8080/x", true, "http", 2, "[fe80::1]", 8080, "/x", ""},
        SplitCase{"http://[fe80::1]/x", true, "http", 2, "[fe80::1]", 80, "/x", ""},
        SplitCase{"http://srv/a?b=1", true, "http", 2, "srv", 80, "/a", "?b=1"},
        SplitCase{"http://srv/a#frag", true, "http", 2, "srv", 80, "/a", "#frag"},
        SplitCase{"http://srv?q", true, "http", 2, "srv", 80, "", "?q"},
        SplitCase{"HTTP://srv/x", true, "HTTP", 2, "srv", 80, "/x", ""},
        SplitCase{"http://srv", true, "http", 2, "srv", 80, "", ""},
        SplitCase{"http://srv:8080", true, "http", 2, "srv", 8080, "", ""},
        SplitCase{"https://srv/x", true, "https", 3, "srv", 443, "/x", ""},
        SplitCase{"socks://srv", true, "socks", 7, "srv", 1080, "", ""},
        SplitCase{"gopher://srv:9/x", true, "gopher", 1, "srv", 9, "/x", ""},
        SplitCase{"news://srv:119/x", true, "news", 5, "srv", 0, "/x", ""},
        SplitCase{"file:///etc/hosts?x", true, "file", 4, "", 0, "/etc/hosts?x", ""},
        SplitCase{"mailto:someone@example", true, "mailto", 6, "example", 0, "", "", "someone"},
        SplitCase{"zz://srv/x", true, "zz", -1, "srv", 0, "/x", ""},
        SplitCase{"http:/just/a/path?q", true, "http", 2, "", 80, "/just/a/path?q", ""},
        SplitCase{"http://u:p@srv:81/x", true, "http", 2, "srv", 81, "/x", "", "u", "p"},
        SplitCase{"ftp://u@srv/x", true, "ftp", 0, "srv", 21, "/x", "", "u"},
        SplitCase{"http://" + k256 + "/x", true, "http", 2, k256, 80, "/x", ""},
        SplitCase{"http://" + k128 + ":" + k128 + "@srv/", true, "http", 2, "srv", 80, "/", "",
                  k128, k128},
        SplitCase{"http://srv" + kPath2048, true, "http", 2, "srv", 80, kPath2048, ""},
        // Failures leave every field reset.
        SplitCase{"srv/x", false, "", -1, "", 0, "", ""},
        SplitCase{"srv", false, "", -1, "", 0, "", ""},
        SplitCase{"http://" + k257 + "/x", false, "", -1, "", 0, "", ""},
        SplitCase{"http://" + k257, false, "", -1, "", 0, "", ""},
        SplitCase{"http://" + k129 + "@srv/", false, "", -1, "", 0, "", ""},
        SplitCase{"http://u:" + k129 + "@srv/", false, "", -1, "", 0, "", ""},
        SplitCase{"http://:pw@srv/", false, "", -1, "", 0, "", ""},
        SplitCase{"http://:@srv/x", true, "http", 2, "srv", 80, "/x", ""},
        SplitCase{"http://a@b@srv/", false, "", -1, "", 0, "", ""},
        SplitCase{"http://a:b@c:d@e/", false, "", -1, "", 0, "", ""},
        SplitCase{"mailto://x", false, "", -1, "", 0, "", ""},
        SplitCase{std::string(33, 's') + "://srv/", false, "", -1, "", 0, "", ""},
        SplitCase{"http://srv" + kPath2048 + "p", false, "", -1, "", 0, "", ""},
        SplitCase{"http://srv/?" + std::string(2048, 'e'), false, "", -1, "", 0, "", ""}));

TEST(SplitTest, FailureResetsAPreviousSplit) {
  CUrlParts parts;
  ASSERT_TRUE(parts.Split("http://srv:81/x?y"));
  EXPECT_FALSE(parts.Split("no-scheme/x"));
  EXPECT_EQ(parts.host(), "");
  EXPECT_EQ(parts.port(), 0);
  EXPECT_EQ(parts.path(), "");
  EXPECT_EQ(parts.extra(), "");
  EXPECT_EQ(parts.scheme_code(), -1);
}

}  // namespace
}  // namespace tarn::web
