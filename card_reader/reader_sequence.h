// The reading sequence on the worker thread, and the reader commands it uses.
#pragma once

#include <cstdint>

#include "reader_worker.h"

namespace tarn::iccr {

extern uint8_t g_ReaderInfo[20];
extern uint8_t g_TypeBData[13];
extern uint8_t g_FelicaIdm[8];
extern int16_t g_nFelicaServiceCode;
extern int16_t g_nFelicaBlockNumber;
extern const uint8_t kCascadeSelect[3];

// Commands: > 0 success, 0 no answer or link gone, -1 rejected reply (or no such card).
int InitializeReader(int port);
// The set-up command 0x01, and the reader information command into g_ReaderInfo: the first two
// steps of InitializeReader.
int SetUpReader(int port);
int ReadReaderInformation(int port);
// 1 ready, 2 reading, 3 error (0 and others: modes the system does not use).
int SetIndicator(int port, int mode);
int SetRfField(int port, int on);
int PollTypeA(int port);
int PollTypeB(int port);
int PollFelica(int port);
// Returns the UID length (4, 7 or 10) or the failing result.
int ReadTypeAUid(int port, uint8_t* out, int size);
int GetTypeBData(uint8_t* out, int size);
int GetFelicaIdm(uint8_t* out, int size);
int GetReaderInfo(uint8_t* out, int size);
int ReadFelicaBlock(int port, const uint8_t idm[8], int16_t service_code, int16_t block_number,
                    uint8_t data[16]);

// Each byte as "%02x " (three characters), NUL-terminated; `text` holds 3 * count + 1.
void FormatHex(char* text, const uint8_t* bytes, int count);
void ReportReaderStatus(bool ready);
void ReportCard(const uint8_t* id, int id_count, const uint8_t* data, int data_count);

// The worker's body: makes `reader` the running reader and runs the session.
int ReaderThreadMain(CDensoInterface& reader);
int RunReaderSession();

}  // namespace tarn::iccr
