#include "url_parts.h"

#include <array>
#include <cstring>

namespace tarn::web {

namespace {

struct SchemeInfo {
  const char* name;
  uint16_t default_port;
};

constexpr std::array<SchemeInfo, 8> kSchemes = {{{"ftp", 21},
                                                 {"gopher", 70},
                                                 {"http", 80},
                                                 {"https", 443},
                                                 {"file", 0},
                                                 {"news", 0},
                                                 {"mailto", 0},
                                                 {"socks", 1080}}};
constexpr int kFile = 4;
constexpr int kNews = 5;
constexpr int kMailto = 6;

bool EqualsIgnoreCase(const std::string& a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Leading decimal digits, kept to their low 16 bits.
uint16_t PortNumber(const std::string& text) {
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = (value * 10 + static_cast<uint32_t>(c - '0')) & 0xFFFFu;
  }
  return static_cast<uint16_t>(value);
}

}  // namespace

void CUrlParts::Reset() {
  *this = CUrlParts();
}

bool CUrlParts::Split(const std::string& url) {
  Reset();
  const size_t n = url.size();
  size_t pos = 0;

  // Scheme: up to the first ":", which must come before any "/" or "?".
  while (pos < n && url[pos] != ':') {
    if (url[pos] == '/' || url[pos] == '?') break;
    ++pos;
  }
  if (pos >= n || url[pos] != ':') return Fail();
  scheme_ = url.substr(0, pos);
  for (size_t i = 0; i < kSchemes.size(); ++i) {
    if (EqualsIgnoreCase(scheme_, kSchemes[i].name)) {
      scheme_code_ = static_cast<int>(i);
      break;
    }
  }
  if (scheme_code_ < 0 && scheme_.size() > kMaxScheme) return Fail();
  ++pos;

  bool port_given = false;
  bool path_only = false;
  if (url.compare(pos, 2, "//") == 0) {
    if (scheme_code_ == kMailto) return Fail();
    pos += 2;
    path_only = scheme_code_ == kFile;
  } else if (pos < n && url[pos] == '/') {
    path_only = true;
  } else if (scheme_code_ == kFile) {
    path_only = true;
  }

  if (path_only) {
    if (n - pos > kMaxPath) return Fail();
    path_ = url.substr(pos);
  } else {
    if (!SplitAuthority(url, pos, port_given)) return Fail();
    // Path up to the first "?" or "#"; the rest is extra.
    size_t end = url.find_first_of("?#", pos);
    if (end == std::string::npos) end = n;
    if (end - pos > kMaxPath) return Fail();
    path_ = url.substr(pos, end - pos);
    if (n - end > kMaxExtra) return Fail();
    extra_ = url.substr(end);
  }

  if (scheme_code_ == kFile || scheme_code_ == kNews || scheme_code_ == kMailto) {
    port_ = 0;
  } else if (!port_given) {
    port_ = scheme_code_ >= 0 ? kSchemes[static_cast<size_t>(scheme_code_)].default_port : 0;
  }
  return true;
}

bool CUrlParts::SplitAuthority(const std::string& url, size_t& pos, bool& port_given) {
  const size_t n = url.size();
  std::string collected;
  bool in_brackets = false;
  bool host_set = false;
  bool user_set = false;
  while (pos < n) {
    const char c = url[pos];
    if (c == '[' && !host_set) {
      in_brackets = true;
    } else if (c == ']') {
      in_brackets = false;
    }
    if (c == ':' && !in_brackets) {
      size_t end = pos + 1;
      while (end < n && url[end] != '/' && url[end] != '@') ++end;
      std::string second = url.substr(pos + 1, end - pos - 1);
      if (second.size() > kMaxUser) return false;
      if ((end == n || url[end] == '/') && !port_given) {
        if (collected.size() > kMaxHost) return false;
        host_ = collected;
        host_set = true;
        port_ = PortNumber(second);
        port_given = true;
        collected.clear();
        pos = end;
        continue;
      }
      if (end < n && url[end] == '@' && !user_set) {
        if (collected.size() > kMaxUser || second.size() > kMaxPassword) return false;
        if (collected.empty() && !second.empty()) return false;  // a password needs a user
        user_ = collected;
        password_ = second;
        user_set = true;
        collected.clear();
        pos = end + 1;
        continue;
      }
      return false;
    }
    if (c == '@') {
      if (user_set || collected.size() > kMaxUser) return false;
      user_ = collected;
      user_set = true;
      collected.clear();
      ++pos;
      continue;
    }
    if (c == '/' || c == '?') {
      if (!(host_set && port_given)) {
        if (collected.size() > kMaxHost) return false;
        host_ = collected;
        host_set = true;
      }
      return true;
    }
    collected.push_back(c);
    ++pos;
    if (pos == n) {
      if (collected.size() > kMaxHost) return false;
      host_ = collected;
      host_set = true;
    }
  }
  return true;
}

bool CUrlParts::Fail() {
  Reset();
  return false;
}

}  // namespace tarn::web
