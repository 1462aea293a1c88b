// Splitting an address: any text either splits into parts within their limits or fails
// with every part reset, and a split address splits the same way again.
#include <cstdlib>
#include <string>

#include "url_parts.h"

namespace {

using tarn::web::CUrlParts;

bool IsReset(const CUrlParts& u) {
  return u.scheme().empty() && u.scheme_code() == -1 && u.host().empty() && u.port() == 0 &&
         u.user().empty() && u.password().empty() && u.path().empty() && u.extra().empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string url(reinterpret_cast<const char*>(data), size);
  CUrlParts parts;
  if (!parts.Split(url)) {
    if (!IsReset(parts)) std::abort();
    return 0;
  }
  if (parts.host().size() > CUrlParts::kMaxHost || parts.user().size() > CUrlParts::kMaxUser ||
      parts.password().size() > CUrlParts::kMaxPassword ||
      parts.path().size() > CUrlParts::kMaxPath || parts.extra().size() > CUrlParts::kMaxExtra ||
      (parts.scheme_code() < 0 && parts.scheme().size() > CUrlParts::kMaxScheme)) {
    std::abort();
  }
  // A second split of the same text on a used object gives the same parts.
  CUrlParts again = parts;
  if (!again.Split(url) || again.host() != parts.host() || again.port() != parts.port() ||
      again.path() != parts.path() || again.extra() != parts.extra() ||
      again.user() != parts.user() || again.password() != parts.password()) {
    std::abort();
  }
  return 0;
}
