#include "cookie_jar.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace tarn::web {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return text.substr(begin, end - begin);
}

struct Address {
  std::string host;  // lower case, no port
  std::string path;  // from the first "/", without query
  bool secure = false;
};

Address Parse(const std::string& url) {
  Address a;
  size_t pos = url.find("://");
  a.secure = pos != std::string::npos && Lower(url.substr(0, pos)) == "https";
  pos = pos == std::string::npos ? 0 : pos + 3;
  size_t end = url.find_first_of("/?#", pos);
  if (end == std::string::npos) end = url.size();
  std::string authority = url.substr(pos, end - pos);
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    authority = authority.substr(0, close == std::string::npos ? authority.size() : close + 1);
  } else {
    const size_t colon = authority.find(':');
    if (colon != std::string::npos) authority.resize(colon);
  }
  a.host = Lower(authority);
  if (end < url.size() && url[end] == '/') {
    const size_t query = url.find_first_of("?#", end);
    a.path = url.substr(end, query == std::string::npos ? std::string::npos : query - end);
  } else {
    a.path = "/";
  }
  return a;
}

// The directory of the request path (RFC 6265 5.1.4).
std::string DefaultPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return "/";
  const size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool DomainMatch(const std::string& host, const std::string& domain) {
  if (host == domain) return true;
  return host.size() > domain.size() &&
         host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
         host[host.size() - domain.size() - 1] == '.';
}

bool PathMatch(const std::string& request, const std::string& cookie) {
  if (request.compare(0, cookie.size(), cookie) != 0) return false;
  return request.size() == cookie.size() || cookie.back() == '/' || request[cookie.size()] == '/';
}

// An Expires date in the forms servers send ("Wed, 21 Oct 2015 07:28:00 GMT" and the like):
// day, month name, year and time in any order. False when the date cannot be read.
bool ParseDate(const std::string& text, std::time_t& out) {
  static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  int day = -1, month = -1, year = -1, hour = -1, minute = 0, second = 0;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && !std::isalnum(static_cast<unsigned char>(text[i]))) ++i;
    size_t j = i;
    while (j < text.size() &&
           (std::isalnum(static_cast<unsigned char>(text[j])) || text[j] == ':')) {
      ++j;
    }
    const std::string token = Lower(text.substr(i, j - i));
    i = j;
    if (token.empty()) continue;
    if (token.find(':') != std::string::npos && hour < 0) {
      if (std::sscanf(token.c_str(), "%d:%d:%d", &hour, &minute, &second) < 2) return false;
    } else if (std::isdigit(static_cast<unsigned char>(token[0]))) {
      const int n = std::atoi(token.c_str());
      if (token.size() <= 2 && day < 0) {
        day = n;
      } else if (year < 0) {
        year = token.size() <= 2 ? (n < 70 ? 2000 + n : 1900 + n) : n;
      }
    } else if (month < 0) {
      for (int m = 0; m < 12; ++m) {
        if (token.compare(0, 3, kMonths[m]) == 0) month = m;
      }
    }
  }
  if (day < 1 || day > 31 || month < 0 || year < 1601 || hour < 0 || hour > 23) return false;
  // Days since 1970 by the civil-calendar formula, free of the local time zone.
  const int y = month < 2 ? year - 1 : year;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int mp = (month + 9) % 12;
  const int doy = (153 * mp + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long long days = static_cast<long long>(era) * 146097 + doe - 719468;
  out = static_cast<std::time_t>(days * 86400 + hour * 3600 + minute * 60 + second);
  return true;
}

}  // namespace

std::time_t CookieJar::Now() const {
  return now != 0 ? now : std::time(nullptr);
}

void CookieJar::Take(const std::string& url, const std::string& set_cookie) {
  const Address address = Parse(url);
  size_t semi = set_cookie.find(';');
  const std::string pair = set_cookie.substr(0, semi);
  const size_t eq = pair.find('=');
  if (eq == std::string::npos) return;
  Cookie cookie;
  cookie.name = Trim(pair.substr(0, eq));
  cookie.value = Trim(pair.substr(eq + 1));
  if (cookie.name.empty()) return;
  cookie.domain = address.host;
  cookie.path = DefaultPath(address.path);
  bool expired = false;
  bool max_age_seen = false;
  while (semi != std::string::npos) {
    const size_t next = set_cookie.find(';', semi + 1);
    const std::string attribute = set_cookie.substr(semi + 1, next - semi - 1);
    semi = next;
    const size_t aeq = attribute.find('=');
    const std::string name = Lower(Trim(attribute.substr(0, aeq)));
    const std::string value = aeq == std::string::npos ? "" : Trim(attribute.substr(aeq + 1));
    if (name == "domain" && !value.empty()) {
      std::string domain = Lower(value[0] == '.' ? value.substr(1) : value);
      // A server may widen a cookie to its own domain, never to another one.
      if (!DomainMatch(address.host, domain)) return;
      cookie.domain = domain;
      cookie.host_only = false;
    } else if (name == "path" && !value.empty() && value[0] == '/') {
      cookie.path = value;
    } else if (name == "secure") {
      cookie.secure = true;
    } else if (name == "max-age" && !value.empty()) {
      max_age_seen = true;  // Max-Age wins over Expires
      char* end = nullptr;
      const long long seconds = std::strtoll(value.c_str(), &end, 10);
      if (end != nullptr && *end == 0) expired = seconds <= 0;
    } else if (name == "expires" && !max_age_seen) {
      std::time_t when = 0;
      if (ParseDate(value, when)) expired = when <= Now();
    }
  }
  for (auto it = cookies_.begin(); it != cookies_.end(); ++it) {
    if (it->name == cookie.name && it->domain == cookie.domain && it->path == cookie.path) {
      cookies_.erase(it);
      break;
    }
  }
  if (!expired) cookies_.push_back(std::move(cookie));
}

std::string CookieJar::HeaderFor(const std::string& url) const {
  const Address address = Parse(url);
  std::string header;
  for (const Cookie& c : cookies_) {
    const bool domain_ok =
        c.host_only ? address.host == c.domain : DomainMatch(address.host, c.domain);
    if (!domain_ok || !PathMatch(address.path, c.path) || (c.secure && !address.secure)) continue;
    if (!header.empty()) header += "; ";
    header += c.name + "=" + c.value;
  }
  return header;
}

}  // namespace tarn::web
