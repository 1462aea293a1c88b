// The HTTP state (RFC 6265 cookies) of one session object, for HTTP layers that would
// otherwise share it process-wide. Lives exactly as long as its owner.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace tarn::web {

class CookieJar {
 public:
  // Takes one Set-Cookie header value from the answer to the absolute address `url`.
  void Take(const std::string& url, const std::string& set_cookie);
  // The Cookie header's value ("a=1; b=2") for a request to `url`; "" when none applies.
  std::string HeaderFor(const std::string& url) const;

  // The clock that expiry is judged by; tests set it.
  std::time_t now = 0;

 private:
  struct Cookie {
    std::string name;
    std::string value;
    std::string domain;  // lower case
    bool host_only = true;
    std::string path;
    bool secure = false;
  };
  std::time_t Now() const;
  std::vector<Cookie> cookies_;
};

}  // namespace tarn::web
