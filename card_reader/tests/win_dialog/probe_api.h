// What the probe library offers its host program: the platform's real dialog host and message
// box, driven by a stand-in for the card-read logic. Plain C, as between a host and TarnIccr.
#pragma once

#ifdef PROBE_BUILDING_LIBRARY
#define PROBE_API extern "C" __declspec(dllexport)
#else
#define PROBE_API extern "C" __declspec(dllimport)
#endif

// Runs the dialog on the calling thread with `title` (ANSI code page) until it is cancelled;
// counts down from 10 each second as the card-read logic does. Returns the dialog's result.
PROBE_API int ProbeRunDialog(const char* title);
// From any thread, like the reader worker's report.
PROBE_API void ProbePostText(int control, const char* text);
PROBE_API void ProbePostCancel();
// 0: no reader connected; 1: discovery failed with `code`.
PROBE_API void ProbeShowMessage(int which, int code);
