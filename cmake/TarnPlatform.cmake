# Each platform facility lives in one *_posix.cpp / *_win32.cpp file; this picks the suffix.
if(WIN32)
  set(TARN_PLATFORM win32)
else()
  set(TARN_PLATFORM posix)
endif()

# The Debian interpreter carries the simulators' packages (python3-cryptography).
find_program(TARN_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT TARN_PYTHON)
  find_program(TARN_PYTHON NAMES python3)
endif()
