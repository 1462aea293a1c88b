// What the host needs from the platform's console: text conversions between the command line's
// narrow text and the exports' UTF-16, the environment, and a password prompt without echo. The
// narrow text is UTF-8 on Windows (the entry point converts the UTF-16 command line) and the
// locale's text, taken as UTF-8, elsewhere.
#pragma once

#include <string>

#include "tarn/tarn_types.h"

namespace tarn::host {

using WideString = std::basic_string<TARN_WCHAR>;

// Command-line text to UTF-16; bytes that do not convert are skipped.
WideString WideFromConsole(const std::string& text);
// UTF-16 up to its terminator to console text; units that do not convert are skipped.
std::string ConsoleFromWide(const TARN_WCHAR* text);

// The environment variable `name` as console text; false when it is not set.
bool EnvironmentValue(const char* name, std::string& value);

// Shows `prompt` on the controlling terminal (the console on Windows) and reads one line with
// echo off; the terminal's settings come back on every way out, interrupts included. False
// when there is no terminal.
bool PromptHidden(const char* prompt, std::string& answer);

// Whether standard error is a terminal (a console on Windows).
bool ErrorIsTerminal();

}  // namespace tarn::host
