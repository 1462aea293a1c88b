#include "reader_sequence.h"

#include <cstring>

#include "reader_auth.h"
#include "reader_frame.h"

namespace tarn::iccr {

uint8_t g_ReaderInfo[20] = {};
uint8_t g_TypeBData[13] = {};
uint8_t g_FelicaIdm[8] = {};
int16_t g_nFelicaServiceCode = 0;
int16_t g_nFelicaBlockNumber = 0;
const uint8_t kCascadeSelect[3] = {0x93, 0x95, 0x97};

namespace {

constexpr int kBody = 3;  // body byte k of a reply is at offset 3 + k
constexpr int kPollWaitMs = 300;
constexpr int kErrorDisplayMs = 3000;
constexpr int kStartupPauseMs = 1000;

template <size_t N>
int Send(int port, const uint8_t (&command)[N], uint8_t* reply, int size) {
  return ReaderTransceive(port, command, static_cast<int>(N), reply, size);
}

int CopyKept(const uint8_t* kept, int count, uint8_t* out, int size) {
  if (out == nullptr || size < count) return -1;
  std::memcpy(out, kept, static_cast<size_t>(count));
  return count;
}

}  // namespace

int SetUpReader(int port) {
  const uint8_t setup[] = {0x08, 0x00, 0x05, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00};
  uint8_t reply[7] = {};
  return Send(port, setup, reply, sizeof reply);
}

int ReadReaderInformation(int port) {
  const uint8_t info[] = {0x08, 0x00, 0x04, 0x00, 0x05, 0x00, 0x00, 0x00};
  uint8_t reply[26] = {};
  const int result = Send(port, info, reply, sizeof reply);
  if (result > 0) std::memcpy(g_ReaderInfo, reply + kBody, sizeof g_ReaderInfo);
  return result;
}

int InitializeReader(int port) {
  int result = SetUpReader(port);
  if (result <= 0) return result;
  result = ReadReaderInformation(port);
  if (result <= 0) return result;
  result = ReadSecurityMode(port, g_SecuritySetting);
  if (result > 0) g_bSecureMode = g_SecuritySetting[1] == 0x11 ? 1 : 0;
  return result;
}

int SetIndicator(int port, int mode) {
  uint8_t wire = 0x00;
  uint16_t timing = 0;
  switch (mode) {
    case 0:
      wire = 0x01;
      break;
    case 1:
      wire = 0x02;
      break;
    case 2:
      wire = 0x03;
      timing = 250;
      break;
    case 3:
      wire = 0x03;
      timing = 100;
      break;
    default:
      break;
  }
  const auto hi = static_cast<uint8_t>(timing >> 8);
  const auto lo = static_cast<uint8_t>(timing);
  const uint8_t command[] = {0x08, 0x00, 0x09, 0x00, 0x0B, wire, 0x00, 0x04, hi, lo, hi, lo, 0x00};
  uint8_t reply[6] = {};
  return Send(port, command, reply, sizeof reply);
}

int SetRfField(int port, int on) {
  const uint8_t command[] = {0x28, 0x00, 0x04, 0x00, 0x11, static_cast<uint8_t>(on ? 1 : 0),
                             0x00, 0x00};
  uint8_t reply[6] = {};
  return Send(port, command, reply, sizeof reply);
}

int PollTypeA(int port) {
  const uint8_t command[] = {0x28, 0x00, 0x04, 0x00, 0x41, 0x26, 0x00, 0x00};
  uint8_t reply[8] = {};
  return Send(port, command, reply, sizeof reply);
}

int PollTypeB(int port) {
  std::memset(g_TypeBData, 0, sizeof g_TypeBData);
  const uint8_t command[] = {0x28, 0x00, 0x04, 0x00, 0x31, 0x00, 0x00, 0x00};
  uint8_t reply[19] = {};
  const int result = Send(port, command, reply, sizeof reply);
  if (result <= 0) return result;
  if (reply[kBody + 1] == 0) return -1;
  std::memcpy(g_TypeBData, reply + kBody, sizeof g_TypeBData);
  return result;
}

int PollFelica(int port) {
  std::memset(g_FelicaIdm, 0, sizeof g_FelicaIdm);
  const uint8_t command[] = {0x28, 0x00, 0x04, 0x00, 0x51, 0x00, 0x00, 0x00};
  uint8_t reply[24] = {};
  const int result = Send(port, command, reply, sizeof reply);
  if (result <= 0) return result;
  if (reply[kBody] != 0x00 || reply[kBody + 1] != 0x01) return -1;
  std::memcpy(g_FelicaIdm, reply + kBody + 2, sizeof g_FelicaIdm);
  return result;
}

int ReadTypeAUid(int port, uint8_t* out, int size) {
  uint8_t parts[3][4] = {};
  int levels = 0;
  bool complete = false;
  for (int k = 0; k < 3 && !complete; ++k) {
    const uint8_t sel = kCascadeSelect[k];
    const uint8_t anticollision[] = {0x28, 0x00, 0x04, 0x00, 0x43, sel, 0x00, 0x00};
    uint8_t reply[10] = {};
    int result = Send(port, anticollision, reply, sizeof reply);
    if (result <= 0) return result;
    std::memcpy(parts[k], reply + kBody, 4);
    const uint8_t select[] = {0x28, 0x00,        0x09,        0x00,        0x45,        sel, 0x00,
                              0x04, parts[k][0], parts[k][1], parts[k][2], parts[k][3], 0x00};
    uint8_t select_reply[7] = {};
    result = Send(port, select, select_reply, sizeof select_reply);
    if (result <= 0) return result;
    levels = k + 1;
    complete = (select_reply[kBody] & 0x04) == 0;
  }
  if (!complete) {
    if (out != nullptr) std::memset(out, 0, static_cast<size_t>(size < 10 ? size : 10));
    return -1;
  }
  const int length = levels == 1 ? 4 : levels == 2 ? 7 : 10;
  if (out == nullptr || size < length) return -1;
  int pos = 0;
  for (int k = 0; k < levels; ++k) {
    const bool last = k == levels - 1;
    for (int i = last ? 0 : 1; i < 4; ++i) out[pos++] = parts[k][i];  // drop the cascade tag
  }
  return length;
}

int GetTypeBData(uint8_t* out, int size) {
  return CopyKept(g_TypeBData, sizeof g_TypeBData, out, size);
}
int GetFelicaIdm(uint8_t* out, int size) {
  return CopyKept(g_FelicaIdm, sizeof g_FelicaIdm, out, size);
}
int GetReaderInfo(uint8_t* out, int size) {
  return CopyKept(g_ReaderInfo, sizeof g_ReaderInfo, out, size);
}

int ReadFelicaBlock(int port, const uint8_t idm[8], int16_t service_code, int16_t block_number,
                    uint8_t data[16]) {
  const auto svc = static_cast<uint16_t>(service_code);
  uint8_t command[19] = {0x2C, 0x00, 0x0F, 0x06};
  std::memcpy(command + 4, idm, 8);
  command[12] = 0x01;
  command[13] = static_cast<uint8_t>(svc);  // low byte first, as FeliCa wants
  command[14] = static_cast<uint8_t>(svc >> 8);
  command[15] = 0x01;
  command[16] = 0x80;
  command[17] = static_cast<uint8_t>(block_number);
  uint8_t reply[32] = {};
  const int result = Send(port, command, reply, sizeof reply);
  if (result <= 0) return result;
  if (result < kBody + 28 || reply[kBody] != 0x07 || reply[kBody + 9] != 0x00) return -1;
  std::memcpy(data, reply + kBody + 12, 16);
  return 16;
}

void FormatHex(char* text, const uint8_t* bytes, int count) {
  static const char kHex[] = "0123456789abcdef";
  int pos = 0;
  for (int i = 0; i < count; ++i) {
    text[pos++] = kHex[bytes[i] >> 4];
    text[pos++] = kHex[bytes[i] & 0x0F];
    text[pos++] = ' ';
  }
  text[pos] = 0;
}

void ReportReaderStatus(bool ready) {
  CDensoInterface* reader = g_pReader.load();
  if (reader == nullptr) return;
  if (!ready) {
    reader->OnReaderStatus("");
    return;
  }
  uint8_t info[20];
  GetReaderInfo(info, sizeof info);
  char text[61];
  FormatHex(text, info, sizeof info);
  reader->OnReaderStatus(text);
}

void ReportCard(const uint8_t* id, int id_count, const uint8_t* data, int data_count) {
  CDensoInterface* reader = g_pReader.load();
  if (reader == nullptr) return;
  char id_text[104] = {};
  char data_text[104] = {};
  if (id_count > 0 && id_count <= 34) FormatHex(id_text, id, id_count);
  if (data_count > 0 && data_count <= 34) FormatHex(data_text, data, data_count);
  reader->OnCardRead(id_text, data_text);
}

int ReaderThreadMain(CDensoInterface& reader) {
  g_pReader.store(&reader);
  return RunReaderSession();
}

namespace {

// One reading request: polls until a card is reported, the request is withdrawn or a
// poll goes unanswered.
void PollForCard(int port, int& countdown) {
  for (;;) {
    uint8_t id[32] = {};
    int result = PollTypeA(port);
    if (result > 0) {
      result = ReadTypeAUid(port, id, sizeof id);
      if (result > 0) {
        ReportCard(id, result, nullptr, 0);
      } else {
        SetIndicator(port, 3);
        countdown = kErrorDisplayMs;
      }
    }
    if (result >= 0) return;

    result = PollTypeB(port);
    if (result > 0) {
      const int n = GetTypeBData(id, sizeof id);
      ReportCard(id, n, nullptr, 0);
    }
    if (result >= 0) return;

    result = PollFelica(port);
    if (result > 0) {
      const int n = GetFelicaIdm(id, sizeof id);
      uint8_t data[16] = {};
      const int read = ReadFelicaBlock(port, id, g_nFelicaServiceCode, g_nFelicaBlockNumber, data);
      if (read == 0) return;
      ReportCard(id, n, data, read > 0 ? 16 : 0);
      return;
    }
    if (result == 0) return;

    if (WaitReaderEvent(kPollWaitMs)) return;
    if (countdown > 0) {
      countdown -= kPollWaitMs;
      if (countdown <= 0) {
        SetIndicator(port, 2);
        countdown = 0;
      }
    }
  }
}

}  // namespace

int RunReaderSession() {
  const int port = GetReaderPort();
  int result = InitializeReader(port);
  if (result > 0) result = SetIndicator(port, 2);
  if (result > 0) {
    SleepMs(kStartupPauseMs);
    result = SetIndicator(port, 1);
  }
  if (result > 0) result = AuthenticateReader(port, kAuthKeyA, kAuthKeyB, kAuthKeyC);
  if (result > 0) result = EnableSecureMode(port);
  if (result <= 0) return result;

  ReportReaderStatus(true);
  int countdown = 0;  // error display, kept across requests
  for (;;) {
    while (!WaitReaderEvent(kPollWaitMs)) {
      result = SetRfField(port, 0);
      if (result <= 0) break;
    }
    if (result <= 0) break;
    result = SetRfField(port, 1);
    if (result <= 0) break;
    result = SetIndicator(port, 2);
    if (result <= 0) break;
    PollForCard(port, countdown);
    result = SetRfField(port, 0);
    if (result <= 0) break;
    result = SetIndicator(port, 1);
    if (result <= 0) break;
  }
  ReportReaderStatus(false);
  return result;
}

}  // namespace tarn::iccr
