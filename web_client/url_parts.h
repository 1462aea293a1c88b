// An address split into its parts; fields have fixed limits and a failed split resets all.
#pragma once

#include <cstdint>
#include <string>

namespace tarn::web {

class CUrlParts {
 public:
  static constexpr size_t kMaxScheme = 32;
  static constexpr size_t kMaxHost = 256;
  static constexpr size_t kMaxUser = 128;
  static constexpr size_t kMaxPassword = 128;
  static constexpr size_t kMaxPath = 2048;
  static constexpr size_t kMaxExtra = 2048;

  // Resets, then splits `url`. On failure resets again and returns false.
  bool Split(const std::string& url);
  void Reset();

  const std::string& scheme() const { return scheme_; }
  int scheme_code() const { return scheme_code_; }  // -1 for a scheme not in the table
  const std::string& host() const { return host_; }
  uint16_t port() const { return port_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  const std::string& path() const { return path_; }
  const std::string& extra() const { return extra_; }

 private:
  bool SplitAuthority(const std::string& url, size_t& pos, bool& port_given);
  bool Fail();

  std::string scheme_;
  int scheme_code_ = -1;
  std::string host_;
  uint16_t port_ = 0;
  std::string user_;
  std::string password_;
  std::string path_;
  std::string extra_;
};

}  // namespace tarn::web
