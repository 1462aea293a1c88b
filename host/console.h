// What the host needs from the platform's console: text conversions between the command line's
// narrow text and the exports' UTF-16, and a password prompt without echo.
#pragma once

#include <string>

#include "tarn/tarn_types.h"

namespace tarn::host {

using WideString = std::basic_string<TARN_WCHAR>;

// Command-line text to UTF-16; bytes that do not convert are skipped.
WideString WideFromConsole(const std::string& text);
// UTF-16 up to its terminator to console text; units that do not convert are skipped.
std::string ConsoleFromWide(const TARN_WCHAR* text);

// Shows `prompt` on the controlling terminal and reads one line with echo off; the terminal's
// settings come back on every way out, interrupts included. False when there is no terminal.
bool PromptHidden(const char* prompt, std::string& answer);

}  // namespace tarn::host
