// The serial link on a Win32 communications port.
//
// Handles index a table rather than being raw HANDLEs, so a handle that was closed can never
// reach a port or file that the process has since opened. The port is opened for overlapped
// I/O and every transfer waits for its own completion, so callers still see synchronous
// calls. Each wait also watches the link's abort event: under Wine nothing (purge, cancel,
// close) releases a synchronous read that waits for its first byte, and a purge does not end
// an overlapped one either; on Windows I/O on a synchronous handle is serialised, so a purge
// could queue behind that read. ComClose sets the event first and closes the port only once
// every transfer has left.
#include <windows.h>

#include <cctype>
#include <climits>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "serial_link.h"

namespace tarn::iccr {
namespace {

constexpr DWORD kQueueBytes = 64;
constexpr DWORD kIntervalMs = 30;  // a read ends once the line stays quiet this long

struct Link {
  std::string device;
  HANDLE port = INVALID_HANDLE_VALUE;
  HANDLE abort = nullptr;  // manual-reset: once set, every wait on it returns at once
  std::mutex mutex;
  std::condition_variable idle;
  int users = 0;
  bool closing = false;
};

std::mutex g_table_mutex;
std::map<int, std::shared_ptr<Link>> g_links;
int g_next_handle = 0;
// Devices open here, by upper-case path: Wine lets a port be opened twice although no sharing
// is granted, so a second open of ours is refused here.
std::set<std::string> g_devices;

// Marks one transfer in progress on a link that is still in the table; the close waits for
// every such transfer to leave before it releases the port.
class LinkUse {
 public:
  explicit LinkUse(int port) {
    std::lock_guard<std::mutex> table_lock(g_table_mutex);
    auto it = g_links.find(port);
    if (it == g_links.end()) return;
    std::lock_guard<std::mutex> lock(it->second->mutex);
    if (it->second->closing) return;
    link_ = it->second;
    ++link_->users;
  }
  ~LinkUse() {
    if (!link_) return;
    std::lock_guard<std::mutex> lock(link_->mutex);
    if (--link_->users == 0) link_->idle.notify_all();
  }
  LinkUse(const LinkUse&) = delete;
  LinkUse& operator=(const LinkUse&) = delete;
  Link* get() const { return link_.get(); }

 private:
  std::shared_ptr<Link> link_;
};

std::string DeviceKey(const std::string& path) {
  std::string key = path;
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

void ApplyLineSettings(HANDLE port) {
  // A setting the port refuses leaves it as it is.
  SetupComm(port, kQueueBytes, kQueueBytes);

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (GetCommState(port, &dcb)) {
    dcb.fParity = TRUE;
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    // Frames are binary: whatever a previous user left, no byte may be taken as flow
    // control, dropped as a null or replaced, and a line error must not stall every later
    // read (nothing here clears it). The reader drives neither handshake line.
    dcb.fBinary = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    SetCommState(port, &dcb);
  }

  SetCommMask(port, EV_RXCHAR);

  COMMTIMEOUTS timeouts{};
  if (GetCommTimeouts(port, &timeouts)) {
    timeouts.ReadIntervalTimeout = kIntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    SetCommTimeouts(port, &timeouts);
  }
}

// One overlapped transfer, waited for to its end. An abort cancels it; the OVERLAPPED and the
// caller's buffer stay in use until the port reports the transfer finished.
int Transfer(const Link& link, void* read_into, const void* write_from, DWORD size) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) return 0;
  DWORD done = 0;
  const BOOL finished = read_into != nullptr
                            ? ReadFile(link.port, read_into, size, &done, &overlapped)
                            : WriteFile(link.port, write_from, size, &done, &overlapped);
  if (!finished) {
    done = 0;
    if (GetLastError() == ERROR_IO_PENDING) {
      const HANDLE waits[2] = {overlapped.hEvent, link.abort};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
        CancelIoEx(link.port, &overlapped);
      // An aborted transfer still reports what it moved before the abort.
      GetOverlappedResult(link.port, &overlapped, &done, TRUE);
    }
  }
  CloseHandle(overlapped.hEvent);
  return static_cast<int>(done);
}

}  // namespace

// "COMn" names the port only for COM1 to COM9; the device path reaches every number.
std::string ComDevicePath(const char* name) {
  const std::string text(name);
  bool bare = text.size() > 3;
  for (size_t i = 0; bare && i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    bare = i < 3 ? std::toupper(c) == "COM"[i] : std::isdigit(c) != 0;
  }
  return bare ? "\\\\.\\" + text : text;
}

int ComOpen(const char* portName) {
  if (portName == nullptr || portName[0] == '\0') return -1;
  const std::string path = ComDevicePath(portName);
  auto link = std::make_shared<Link>();
  link->device = DeviceKey(path);
  {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    if (!g_devices.insert(link->device).second) return -1;
  }
  // No sharing: a port already open elsewhere gives -1.
  link->port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  link->abort = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (link->port == INVALID_HANDLE_VALUE || link->abort == nullptr) {
    if (link->port != INVALID_HANDLE_VALUE) CloseHandle(link->port);
    if (link->abort != nullptr) CloseHandle(link->abort);
    std::lock_guard<std::mutex> lock(g_table_mutex);
    g_devices.erase(link->device);
    return -1;
  }
  ApplyLineSettings(link->port);

  std::lock_guard<std::mutex> lock(g_table_mutex);
  // Handles are not reused while in the table; the counter wraps past INT_MAX.
  int handle = g_next_handle;
  while (g_links.count(handle) != 0) handle = handle == INT_MAX ? 0 : handle + 1;
  g_next_handle = handle == INT_MAX ? 0 : handle + 1;
  g_links.emplace(handle, std::move(link));
  return handle;
}

void ComClose(int port) {
  std::shared_ptr<Link> link;
  {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    auto it = g_links.find(port);
    if (it == g_links.end()) return;
    link = std::move(it->second);
    g_links.erase(it);
  }
  {
    std::lock_guard<std::mutex> lock(link->mutex);
    link->closing = true;
  }
  SetEvent(link->abort);
  PurgeComm(link->port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  {
    std::unique_lock<std::mutex> lock(link->mutex);
    link->idle.wait(lock, [&] { return link->users == 0; });
  }
  EscapeCommFunction(link->port, CLRDTR);  // fails where the line has no DTR
  CloseHandle(link->port);
  CloseHandle(link->abort);
  std::lock_guard<std::mutex> lock(g_table_mutex);
  g_devices.erase(link->device);
}

int ComRead(int port, void* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  LinkUse use(port);
  if (use.get() == nullptr) return 0;
  return Transfer(*use.get(), buffer, nullptr, static_cast<DWORD>(size));
}

int ComWrite(int port, const void* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  LinkUse use(port);
  if (use.get() == nullptr) return 0;
  return Transfer(*use.get(), nullptr, buffer, static_cast<DWORD>(size));
}

}  // namespace tarn::iccr
