// The Type A identifier put together from the cascade levels' replies.
#include <cstdlib>

#include "reader_script.h"
#include "reader_sequence.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarn;
  FuzzedDataProvider in(data, size);
  fuzz::DrawSession(in);
  const bool no_buffer = in.ConsumeIntegralInRange(0, 15) == 0;
  const int room = in.ConsumeIntegralInRange(0, 12);
  fuzz::DrawReplies(in, 6);

  fuzz::Bytes id(static_cast<size_t>(room), 0xAA);  // exactly the room, so ASan sees any overrun
  const int result = iccr::ReadTypeAUid(fuzz::kFakePort, no_buffer ? nullptr : id.data(), room);
  // A whole identifier is 4, 7 or 10 bytes; anything else is a failure code.
  if (result > 0 && ((result != 4 && result != 7 && result != 10) || result > room || no_buffer)) {
    std::abort();
  }
  if (result < -1) std::abort();
  return 0;
}
