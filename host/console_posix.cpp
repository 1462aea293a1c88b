// POSIX console: iconv for the conversions, termios on /dev/tty for the hidden prompt; the
// arguments go to the host as they come.
#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "console.h"

namespace tarn::host {

namespace {

// `unit` is the width of one input code unit, so a skip never splits a UTF-16 unit.
std::string Convert(const char* to, const char* from, const char* data, size_t size, size_t unit) {
  std::string out;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return out;
  char* in = const_cast<char*>(data);
  size_t in_left = size;
  char buffer[1024];
  while (in_left > 0) {
    char* dst = buffer;
    size_t dst_left = sizeof buffer;
    const size_t rc = iconv(cd, &in, &in_left, &dst, &dst_left);
    out.append(buffer, sizeof buffer - dst_left);
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      const size_t skip = in_left < unit ? in_left : unit;
      in += skip;
      in_left -= skip;
    }
  }
  iconv_close(cd);
  return out;
}

// The terminal being prompted on, for the signal handlers; -1 when none.
volatile sig_atomic_t g_tty = -1;
termios g_saved;
termios g_quiet;

constexpr int kEndSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

void OnEndSignal(int sig) {
  const int saved_errno = errno;
  if (g_tty >= 0) tcsetattr(g_tty, TCSANOW, &g_saved);
  // SA_RESETHAND put the previous default action back: it takes effect once we return.
  raise(sig);
  errno = saved_errno;
}

void OnStop(int sig);

void InstallStopHandler() {
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTSTP, &action, nullptr);
}

// A suspended prompt must not leave the shell without echo; hide the input again on resume.
void OnStop(int sig) {
  const int saved_errno = errno;
  if (g_tty >= 0) tcsetattr(g_tty, TCSANOW, &g_saved);
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
  raise(sig);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);  // stops here until continued
  InstallStopHandler();
  if (g_tty >= 0) tcsetattr(g_tty, TCSANOW, &g_quiet);
  errno = saved_errno;
}

void WriteAll(int fd, const char* text) {
  size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t n = write(fd, text, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

WideString WideFromConsole(const std::string& text) {
  const std::string bytes = Convert("UTF-16LE", "UTF-8", text.data(), text.size(), 1);
  WideString out(bytes.size() / 2, 0);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<TARN_WCHAR>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return out;
}

std::string ConsoleFromWide(const TARN_WCHAR* text) {
  std::string bytes;
  for (size_t i = 0; text[i] != 0; ++i) {
    bytes.push_back(static_cast<char>(text[i] & 0xFF));
    bytes.push_back(static_cast<char>(text[i] >> 8));
  }
  return Convert("UTF-8", "UTF-16LE", bytes.data(), bytes.size(), 2);
}

bool EnvironmentValue(const char* name, std::string& value) {
  const char* text = std::getenv(name);
  if (text == nullptr) return false;
  value = text;
  return true;
}

bool PromptHidden(const char* prompt, std::string& answer) {
  answer.clear();
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  if (tcgetattr(fd, &g_saved) != 0) {
    close(fd);
    return false;
  }
  g_quiet = g_saved;
  g_quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
  g_tty = fd;

  struct sigaction previous[sizeof kEndSignals / sizeof kEndSignals[0]];
  for (size_t i = 0; i < sizeof kEndSignals / sizeof kEndSignals[0]; ++i) {
    sigaction(kEndSignals[i], nullptr, &previous[i]);
    if (previous[i].sa_handler == SIG_IGN) continue;  // e.g. SIGHUP under nohup
    struct sigaction action {};
    action.sa_handler = OnEndSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(kEndSignals[i], &action, nullptr);
  }
  struct sigaction previous_stop {};
  sigaction(SIGTSTP, nullptr, &previous_stop);
  if (previous_stop.sa_handler != SIG_IGN) InstallStopHandler();

  tcsetattr(fd, TCSAFLUSH, &g_quiet);
  WriteAll(fd, prompt);
  // Longer answers are read to the line's end but not kept: no export takes them anyway.
  constexpr size_t kMaxAnswer = 1024;
  for (;;) {
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    if (answer.size() < kMaxAnswer) answer.push_back(c);
  }
  if (!answer.empty() && answer.back() == '\r') answer.pop_back();
  tcsetattr(fd, TCSAFLUSH, &g_saved);
  WriteAll(fd, "\n");

  sigaction(SIGTSTP, &previous_stop, nullptr);
  for (size_t i = 0; i < sizeof kEndSignals / sizeof kEndSignals[0]; ++i) {
    sigaction(kEndSignals[i], &previous[i], nullptr);
  }
  g_tty = -1;
  close(fd);
  return true;
}

bool ErrorIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

}  // namespace tarn::host

int main(int argc, char** argv) {
  return tarn::host::RunHost(argc, argv);
}
