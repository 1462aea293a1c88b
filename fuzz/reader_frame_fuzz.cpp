// The frame layer judging the reader's replies, secure messaging on and off.
#include <cstdlib>

#include "reader_script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarn;
  FuzzedDataProvider in(data, size);
  fuzz::DrawSession(in);
  static const uint8_t kTypes[] = {0x08, 0x28, 0x2A, 0x2C};
  const uint8_t type =
      in.ConsumeBool() ? in.PickValueInArray(kTypes) : in.ConsumeIntegral<uint8_t>();
  // The command as the sequence builds it, or with any length at all (never past its bytes).
  const int body = in.ConsumeIntegralInRange(0, 60);
  fuzz::Bytes command{type, static_cast<uint8_t>(body >> 8), static_cast<uint8_t>(body)};
  const fuzz::Bytes inner = in.ConsumeBytes<uint8_t>(static_cast<size_t>(body));
  command.insert(command.end(), inner.begin(), inner.end());
  command.resize(static_cast<size_t>(body) + 4, 0);
  if (in.ConsumeBool()) command.resize(in.ConsumeIntegralInRange<size_t>(1, command.size()));
  const int room = in.ConsumeIntegralInRange(0, iccr::kFrameBufferSize);
  fuzz::DrawReplies(in, 8);

  fuzz::Bytes reply(static_cast<size_t>(room));  // exactly the room, so ASan sees any overrun
  const int result = iccr::ReaderTransceive(fuzz::kFakePort, command.data(),
                                            static_cast<int>(command.size()), reply.data(), room);
  if (result < -1 || result > room) std::abort();
  return 0;
}
