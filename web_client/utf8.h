// Our own UTF-8 <-> UTF-16 converter, with the results of the Windows conversions:
// malformed UTF-8 becomes U+FFFD per maximal subpart, a lone surrogate becomes U+FFFD.
#pragma once

#include <cstddef>
#include <string>

namespace tarn::web::utf8 {

std::u16string Decode(const char* data, size_t size);
std::string Encode(const char16_t* data, size_t size);
// Bytes Encode would produce.
size_t EncodedSize(const char16_t* data, size_t size);

// Decode then Encode up to the first zero character, over a text that arrives in pieces: the
// output of each piece is final once fed. Valid sequences come out unchanged, so only a sequence
// cut between two pieces is held back (at most three bytes) until its next byte arrives.
class StreamRecoder {
 public:
  // Appends the recoded bytes of `data` to `out`.
  void Feed(const char* data, size_t size, std::string& out);
  // The text has ended: a sequence still open becomes one replacement character.
  void Finish(std::string& out);

 private:
  unsigned char carry_[4] = {};
  size_t carry_size_ = 0;
  bool ended_ = false;  // a zero character was seen: nothing after it counts
};

}  // namespace tarn::web::utf8
