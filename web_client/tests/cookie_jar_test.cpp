// The per-object cookie jar that the Windows HTTP layer carries instead of WinINet's
// process-wide one.
#include "cookie_jar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarn::web {
namespace {

constexpr char kBase[] = "http://127.0.0.1:8080";

struct SetCookie {
  std::string url;
  std::string header;
};

struct JarCase {
  const char* name;
  std::vector<SetCookie> received;
  std::string request_url;
  std::string expected;
};

TEST(CookieJar, ScopeReplacementAndExpiry) {
  const std::string base = kBase;
  const JarCase cases[] = {
      {"sent back to its host",
       {{base + "/script/a.shp", "ZCSESSION=abc; Path=/"}},
       base + "/cgi-bin/x.cgi",
       "ZCSESSION=abc"},
      {"port does not matter", {{base + "/", "s=1; Path=/"}}, "http://127.0.0.1:9/", "s=1"},
      {"host name case does not matter",
       {{"http://Appliance.local/", "s=1"}},
       "http://appliance.LOCAL/x",
       "s=1"},
      {"not to another host", {{base + "/", "s=1; Path=/"}}, "http://127.0.0.2:8080/", ""},
      {"path attribute scopes",
       {{base + "/", "a=1; Path=/cgi-bin"}},
       base + "/cgi-bin/l.cgi",
       "a=1"},
      {"path prefix must end at a slash",
       {{base + "/", "a=1; Path=/cgi-bin"}},
       base + "/cgi-binx/l.cgi",
       ""},
      {"default path is the request's folder",
       {{base + "/cgi-bin/userlogin/login.cgi", "a=1"}},
       base + "/cgi-bin/userlogin/logout.cgi",
       "a=1"},
      {"default path excludes other folders",
       {{base + "/cgi-bin/userlogin/login.cgi", "a=1"}},
       base + "/script/_userlogin/zc_auth.shp",
       ""},
      {"query is not part of the path", {{base + "/", "a=1; Path=/x"}}, base + "/x?y=/z", "a=1"},
      {"same name replaces",
       {{base + "/", "s=1; Path=/"}, {base + "/", "s=2; Path=/"}},
       base + "/",
       "s=2"},
      {"several in order",
       {{base + "/", "a=1; Path=/"}, {base + "/", "b=2; Path=/"}},
       base + "/",
       "a=1; b=2"},
      {"max-age 0 deletes",
       {{base + "/", "s=1; Path=/"}, {base + "/", "s=; Path=/; Max-Age=0"}},
       base + "/",
       ""},
      {"expires in the past deletes",
       {{base + "/", "s=1; Path=/"},
        {base + "/", "s=x; Path=/; Expires=Thu, 01 Jan 1970 00:00:00 GMT"}},
       base + "/",
       ""},
      {"expires in the future keeps",
       {{base + "/", "s=1; Path=/; Expires=Fri, 31 Dec 2100 23:59:59 GMT"}},
       base + "/",
       "s=1"},
      {"max-age wins over expires",
       {{base + "/", "s=1; Max-Age=60; Expires=Thu, 01 Jan 1970 00:00:00 GMT"}},
       base + "/",
       "s=1"},
      {"domain widens to subdomains",
       {{"http://a.example.com/", "s=1; Domain=.example.com; Path=/"}},
       "http://b.example.com/",
       "s=1"},
      {"domain of another site is refused",
       {{"http://a.example.com/", "s=1; Domain=other.com"}},
       "http://other.com/",
       ""},
      {"secure cookies stay off plain HTTP", {{base + "/", "s=1; Secure; Path=/"}}, base + "/", ""},
      {"no equals sign is ignored", {{base + "/", "garbage; Path=/"}}, base + "/", ""},
      {"empty name is ignored", {{base + "/", "=v; Path=/"}}, base + "/", ""},
      {"blanks around name and value go", {{base + "/", "  s = 1 ; Path=/"}}, base + "/", "s=1"},
  };
  for (const auto& c : cases) {
    CookieJar jar;
    jar.now = 1'700'000'000;  // November 2023
    for (const auto& r : c.received) jar.Take(r.url, r.header);
    EXPECT_EQ(jar.HeaderFor(c.request_url), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace tarn::web
