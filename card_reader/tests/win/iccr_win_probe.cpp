// The Windows side of the card reader's Wine tests: runs one scenario on the serial link, the
// registry or the worker's event and thread, and reports what it saw as "probe: KEY VALUE..."
// lines between "probe: start" and "probe: end". The Linux tests play the reader's side (the
// pseudo-terminal behind the COM port, the registry values) and judge the lines.
//
// Every wait here is bounded: a transfer that never returns is reported, and the process
// then ends without waiting for it.
#include <windows.h>

#include <tlhelp32.h>  // after windows.h, which it needs

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "port_discovery.h"
#include "reader_event.h"
#include "reader_worker.h"
#include "registry.h"
#include "serial_link.h"

namespace tarn::iccr {
namespace {

using Clock = std::chrono::steady_clock;

void Report(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string line = "probe: ";
  char text[20000];
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  line += text;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A transfer that did not come back in time: say so and end without it.
[[noreturn]] void GiveUp(const char* what) {
  Report("stuck %s", what);
  Report("end");
  ExitProcess(3);
}

int ThreadCount() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

// The last thread may take a moment to leave the process list after it has ended.
void ReportThreadsLeft(int before) {
  int now = ThreadCount();
  const auto start = Clock::now();
  while (now > before && MsSince(start) < 2000) {
    Sleep(20);
    now = ThreadCount();
  }
  Report("threads %d %d", before, now);
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string Bytes(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// One read on its own thread, waited for at most `limit_ms`.
class PendingRead {
 public:
  PendingRead(int port, int size)
      : buffer_(static_cast<size_t>(size), '\0'), thread_([this, port, size] {
          const int n = ComRead(port, &buffer_[0], size);
          result_ = n;
          return 0u;
        }) {}
  bool WaitFor(int limit_ms) {
    const auto start = Clock::now();
    while (!thread_.finished() && MsSince(start) < limit_ms) Sleep(5);
    return thread_.finished();
  }
  int result() const { return result_; }
  std::string bytes() const {
    const int n = result_;
    return buffer_.substr(0, static_cast<size_t>(n > 0 ? n : 0));
  }
  void Join() { thread_.Join(); }

 private:
  std::string buffer_;
  std::atomic<int> result_{-2};
  PlatformThread thread_;
};

// open NAME...: each name opened and closed again.
void OpenEach(const std::vector<std::string>& names) {
  for (const auto& name : names) {
    const int port = ComOpen(name.c_str());
    Report("open %s %d", name.c_str(), port);
    if (port >= 0) ComClose(port);
  }
}

// exclusive NAME: a second open while the first holds the port, then the handle rules.
void Exclusive(const std::string& name) {
  const int first = ComOpen(name.c_str());
  const int second = ComOpen(name.c_str());
  Report("first %d", first);
  Report("second %d", second);
  if (second >= 0) ComClose(second);
  ComClose(first);
  const int again = ComOpen(name.c_str());
  Report("again %d", again);
  char byte = 'x';
  Report("closed-handle %d %d", ComWrite(first, &byte, 1), ComRead(first, &byte, 1));
  Report("unknown-handle %d %d", ComWrite(123456, &byte, 1), ComRead(-1, &byte, 1));
  ComClose(first);  // harmless
  if (again >= 0) ComClose(again);
}

// exchange NAME HEX: writes the bytes, then reads replies until `expect` bytes came or a
// read returns nothing.
void Exchange(const std::string& name, const std::string& hex, int expect) {
  const int port = ComOpen(name.c_str());
  Report("open %d", port);
  if (port < 0) return;
  const std::string out = Bytes(hex);
  Report("wrote %d", ComWrite(port, out.data(), static_cast<int>(out.size())));
  std::string got;
  while (static_cast<int>(got.size()) < expect) {
    PendingRead read(port, 64);
    if (!read.WaitFor(10000)) GiveUp("read");
    read.Join();
    if (read.result() <= 0) break;
    got += read.bytes();
  }
  Report("read %s", Hex(got).c_str());
  ComClose(port);
}

// read NAME DELAY SIZE...: after DELAY ms, one read of up to SIZE bytes for each size, each
// timed from its start.
void Reads(const std::string& name, int delay_ms, const std::vector<int>& sizes) {
  const int port = ComOpen(name.c_str());
  Report("open %d", port);
  if (port < 0) return;
  Report("reading");
  Sleep(static_cast<DWORD>(delay_ms));
  for (size_t i = 0; i < sizes.size(); ++i) {
    const auto start = Clock::now();
    PendingRead read(port, sizes[i]);
    if (!read.WaitFor(10000)) GiveUp("read");
    read.Join();
    Report("read %zu %s %lld", i, Hex(read.bytes()).c_str(), MsSince(start));
  }
  ComClose(port);
}

// close-release NAME [HEX]: a read that waits for its first byte, released by a close from
// another thread.
void CloseRelease(const std::string& name, const std::string& hex) {
  const int before = ThreadCount();
  const int port = ComOpen(name.c_str());
  Report("open %d", port);
  if (port < 0) return;
  if (!hex.empty()) {
    const std::string out = Bytes(hex);
    Report("wrote %d", ComWrite(port, out.data(), static_cast<int>(out.size())));
  }
  {
    PendingRead read(port, 64);
    Report("pending %d", read.WaitFor(300) ? 0 : 1);
    const auto start = Clock::now();
    auto closing = std::make_unique<PlatformThread>([port] {
      ComClose(port);
      return 0u;
    });
    const bool released = read.WaitFor(5000);
    const long long released_ms = MsSince(start);
    const auto close_start = Clock::now();
    while (!closing->finished() && MsSince(close_start) < 5000) Sleep(5);
    const bool closed = closing->finished();
    const long long closed_ms = MsSince(start);
    Report("released %d %lld", released ? 1 : 0, released_ms);
    Report("closed %d %lld", closed ? 1 : 0, closed_ms);
    if (!released || !closed) GiveUp("close");
    read.Join();
    closing->Join();
    Report("read %d", read.result());
  }
  ReportThreadsLeft(before);
}

// unplug NAME: a read that waits when the device goes away underneath it.
void Unplug(const std::string& name) {
  const int before = ThreadCount();
  const int port = ComOpen(name.c_str());
  Report("open %d", port);
  if (port < 0) return;
  {
    PendingRead read(port, 64);
    Report("reading");
    const auto start = Clock::now();
    const bool released = read.WaitFor(15000);
    Report("released %d %lld", released ? 1 : 0, MsSince(start));
    if (!released) {
      // Show whether the close still frees it, then give up.
      ComClose(port);
      Report("freed-by-close %d", read.WaitFor(5000) ? 1 : 0);
      GiveUp("read");
    }
    read.Join();
    Report("read %d", read.result());
  }
  {
    const auto start = Clock::now();
    PendingRead again(port, 64);
    const bool released = again.WaitFor(5000);
    Report("read-again %d %d %lld", released ? 1 : 0, again.result(), MsSince(start));
    if (!released) {
      ComClose(port);
      GiveUp("read-again");
    }
    again.Join();
  }
  char byte = 'x';
  Report("write %d", ComWrite(port, &byte, 1));
  const auto start = Clock::now();
  ComClose(port);
  Report("close %lld", MsSince(start));
  ReportThreadsLeft(before);
}

// discover: the whole port discovery on this process's registry.
void Discover() {
  std::string port = "<unchanged>";
  const int code = FindReaderPort(port);
  Report("discover %d [%s]", code, port.c_str());
  Report("nt6 %d", IsNt6OrLater() ? 1 : 0);
}

// query PATH NAME: one string value through the key object's two-step query.
void Query(const std::string& path, const std::string& name) {
  RegKey key(path);
  const long opened = key.Open("");
  Report("opened %ld", opened);
  if (opened != kRegSuccess) return;
  std::string value = "<unchanged>";
  const long status = key.QueryString(name.c_str(), value);
  Report("query %ld %zu %s", status, value.size(), value.substr(0, 40).c_str());
  std::uint32_t number = 0;
  Report("dword %ld", RegistryQueryDword(key.m_hKey.get(), name.c_str(), &number));
}

// subkeys PATH: the subkey names in the order the registry lists them.
void Subkeys(const std::string& path) {
  RegistryKeyHandle key;
  const long opened = RegistryOpenKey(nullptr, path, key);
  Report("opened %ld", opened);
  if (opened != kRegSuccess) return;
  for (unsigned long i = 0;; ++i) {
    char name[256];
    unsigned long size = sizeof name;
    const long status = RegistryEnumKey(key.get(), i, name, &size);
    if (status != kRegSuccess) {
      Report("enum-end %lu %ld", i, status);
      break;
    }
    Report("subkey %lu %s %lu", i, name, size);
  }
  char small[2];
  unsigned long size = sizeof small;
  Report("small %ld", RegistryEnumKey(key.get(), 0, small, &size));
}

class ThrowingThread : public CThreadImpl {
 public:
  ~ThrowingThread() override { Stop(); }
  unsigned Run() override { throw std::runtime_error("body failed"); }
  unsigned Join() { return m_hThread->Join(); }
};

// event: the auto-reset event, the thread's exit code and the thread class.
void Event() {
  const int before = ThreadCount();
  {
    ReaderEvent event;
    auto start = Clock::now();
    const bool timed_out = !event.Wait(300);
    Report("wait-timeout %d %lld", timed_out ? 1 : 0, MsSince(start));

    Report("set %d", event.Set() ? 1 : 0);
    start = Clock::now();
    const bool first = event.Wait(1000);
    Report("set-wait %d %lld", first ? 1 : 0, MsSince(start));
    Report("second-wait %d", event.Wait(50) ? 1 : 0);
    event.Set();
    event.Set();
    const bool once = event.Wait(0);
    Report("double-set %d %d", once ? 1 : 0, event.Wait(0) ? 1 : 0);

    // One signal releases one of two waiting threads; the other times out.
    int released = 0;
    {
      PlatformThread a([&] { return event.Wait(1500) ? 1u : 0u; });
      PlatformThread b([&] { return event.Wait(1500) ? 1u : 0u; });
      Sleep(200);
      event.Set();
      released = static_cast<int>(a.Join() + b.Join());
    }
    Report("two-waiters %d", released);

    // A waiting thread is released by a Set from another.
    PlatformThread waiter([&] { return event.Wait(5000) ? 1u : 0u; });
    Sleep(100);
    start = Clock::now();
    event.Set();
    const unsigned woke = waiter.Join();
    Report("cross-thread %u %lld", woke, MsSince(start));
  }
  {
    ReaderEvent gate;
    PlatformThread thread([&] {
      gate.Wait(5000);
      return 7u;
    });
    Report("started %d", thread.started() ? 1 : 0);
    Report("finished-early %d", thread.finished() ? 1 : 0);
    gate.Set();
    Report("join %u", thread.Join());
    Report("finished %d", thread.finished() ? 1 : 0);
    Report("join-again %u", thread.Join());
  }
  {
    ThrowingThread never;
    never.Stop();  // never started: nothing to do
    ThrowingThread throws;
    Report("throwing-start %d", throws.Start() ? 1 : 0);
    Report("throwing-join %u", throws.Join());
  }
  {
    const auto start = Clock::now();
    PlatformSleepMs(200);
    Report("sleep %lld", MsSince(start));
  }
  ReportThreadsLeft(before);
}

int Main(const std::vector<std::string>& args) {
  const auto arg = [&](size_t i) { return i < args.size() ? args[i] : std::string(); };
  const std::string command = arg(0);
  if (command == "open") {
    OpenEach({args.begin() + 1, args.end()});
  } else if (command == "exclusive") {
    Exclusive(arg(1));
  } else if (command == "exchange") {
    Exchange(arg(1), arg(2), std::atoi(arg(3).c_str()));
  } else if (command == "read") {
    std::vector<int> sizes;
    for (size_t i = 3; i < args.size(); ++i) sizes.push_back(std::atoi(args[i].c_str()));
    Reads(arg(1), std::atoi(arg(2).c_str()), sizes);
  } else if (command == "close-release") {
    CloseRelease(arg(1), arg(2));
  } else if (command == "unplug") {
    Unplug(arg(1));
  } else if (command == "discover") {
    Discover();
  } else if (command == "query") {
    Query(arg(1), arg(2));
  } else if (command == "subkeys") {
    Subkeys(arg(1));
  } else if (command == "event") {
    Event();
  } else {
    Report("usage open|exclusive|exchange|read|close-release|unplug|discover|query|subkeys|event");
    return 2;
  }
  return 0;
}

}  // namespace
}  // namespace tarn::iccr

int main(int argc, char** argv) {
  tarn::iccr::Report("start");
  const int status = tarn::iccr::Main({argv + 1, argv + argc});
  tarn::iccr::Report("end");
  return status;
}
