// The library's one export.
#include <cstring>
#include <string>

#include "card_read_dialog.h"
#include "port_discovery.h"
#include "tarn/tarn_iccr.h"

using tarn::iccr::CICCardReadDlg;

extern "C" TARN_IMPORT_EXPORT int TARN_CALL fnExcelStringFunc(const char* title, char* out) {
  // Nothing may leave the export as an exception; an object that cannot be built counts as a
  // dialog that cannot be created.
  try {
    CICCardReadDlg dialog;
    const int code = tarn::iccr::FindReaderPort(dialog.m_strPortName);
    if (code == 1) {
      dialog.m_strTitle = title != nullptr ? title : "";
      const int ended = dialog.DoModal();
      if (ended == tarn::iccr::IDOK) {
        const std::string id = dialog.CardId();
        if (out != nullptr) std::memcpy(out, id.c_str(), id.size() + 1);
        return static_cast<int>(id.size());
      }
      return ended == tarn::iccr::IDCANCEL ? 0 : 1;
    }
    if (code == 0) {
      tarn::iccr::ShowMessageBox(tarn::iccr::Message::kNoReader);
    } else {
      tarn::iccr::ShowMessageBox(tarn::iccr::Message::kDiscoveryError, code);
    }
    return 0;
  } catch (...) {
    return 1;
  }
}
