// fnExcelStringFunc behind one interface, so that one set of end-to-end cases runs against the
// card reader in this process (registry file, headless dialog followed through its observer)
// and against TarnIccr.dll in a Windows host program under Wine (registry written with Wine's
// reg tool, reader on a COM port of the prefix, the real dialog on an Xvfb screen).
// CreateCardTarget picks Wine when TARN_WINE names the Wine loader (the tests' Wine
// environment); TARN_TEST_TARGET ("linux" or "wine") overrides that.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarn::test {

// One value below HKEY_LOCAL_MACHINE, in the terms of Wine's reg tool.
struct RegistryValue {
  std::string key;   // e.g. "SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000"
  std::string name;  // empty: the key alone, without a value
  std::string type;  // "REG_SZ" or "REG_DWORD"
  std::string data;  // the text, or the number in decimal
};
using Registry = std::vector<RegistryValue>;

// Device instances that the cases list in the reader service live below this enumerator, so
// that a target can remove them with the reader's own keys.
inline const char kCardTestEnumerator[] = "SYSTEM\\CurrentControlSet\\Enum\\TARNCARD";

struct DialogText {
  std::chrono::milliseconds at{};  // since the call began
  int control = 0;                 // 0: the window title
  std::string text;                // UTF-8
};

struct MessageSeen {
  std::chrono::milliseconds at{};
  std::string caption;
  std::string text;
};

struct CardCall {
  int result = -1;
  std::string out;  // the buffer up to its terminator, or kUnterminated
  std::chrono::milliseconds elapsed{};
  int threads_left = 0;  // threads of the calling process the call left behind
  std::optional<std::chrono::milliseconds> shown_at;  // when the dialog first showed
  std::vector<DialogText> texts;                      // every text the dialog showed, in order
  std::vector<MessageSeen> messages;
};

// Where discovery looks and what it opens: the registry file named by TARN_REGISTRY_FILE (set
// in this process's environment) on Linux; under Wine the prefix's registry and its COM links.
// What it wrote goes when it goes.
class CardSetup {
 public:
  virtual ~CardSetup() = default;

  // Replaces the reader's keys (root-enumerated ports, both reader services and the
  // kCardTestEnumerator instances) with `values`.
  virtual void WriteRegistry(const Registry& values) = 0;
  // Makes `device` (a pseudo-terminal) reachable as a serial port; returns the port name that
  // discovery has to find for it: the device itself on Linux, "COM<com>" under Wine.
  virtual std::string AttachReader(const std::string& device, int com) = 0;
};

class CardTarget : public CardSetup {
 public:
  // The out buffer is 64 bytes of this marker, the last one the terminator: a call that does
  // not write it gives exactly this back.
  static const std::string kUntouchedOut;
  static const std::string kUnterminated;

  // Begins fnExcelStringFunc(title, out) (title UTF-8; nullptr passes a null title) and returns
  // while it runs.
  virtual void Start(const char* title) = 0;
  // Waits until `control` has shown `text`; gives when.
  virtual bool WaitText(int control, const std::string& text, std::chrono::milliseconds* at,
                        std::chrono::milliseconds limit) = 0;
  // Presses the dialog's Cancel button.
  virtual bool Cancel() = 0;
  // Waits for the next message box and presses its OK button.
  virtual bool ConfirmMessage(std::chrono::milliseconds limit) = 0;
  // Saves a PNG of the dialog as it is now; false where there is no screen.
  virtual bool Picture(const std::string& path) = 0;
  // Waits for the call to return; nullopt when it did not within `limit`.
  virtual std::optional<CardCall> Finish(std::chrono::milliseconds limit) = 0;

  // Whether the dialog is a window whose every control can be read (the Linux dialog runs
  // headless in the tests and reports only the title and the two lines it changes).
  virtual bool has_windows() const = 0;
  // "linux" or "wine", for messages.
  virtual std::string name() const = 0;
};

// `work_dir` takes what a target makes for itself (pictures, a locale, logs). Throws
// std::runtime_error when the chosen target cannot be started.
std::unique_ptr<CardTarget> CreateCardTarget(const std::string& work_dir);
// The setup alone, for tests that run a program of their own against it; picked as above.
std::unique_ptr<CardSetup> CreateCardSetup(const std::string& work_dir);

}  // namespace tarn::test
