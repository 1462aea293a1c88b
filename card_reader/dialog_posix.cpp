// The dialog on the controlling terminal, or headless (no drawing, no keys) without one.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "dialog.h"

namespace tarn::iccr {
namespace {

using Clock = std::chrono::steady_clock;

const char kPrompt[] = "10秒以内にカードをタッチしてください";
const char kCancelHint[] = "[ｷｬﾝｾﾙ] Esc / q";
constexpr int kLines = 5;

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Puts the terminal in a key-at-a-time mode and gives it back on every way out.
class RawTerminal {
 public:
  explicit RawTerminal(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios raw = saved_;
    // Ctrl-C arrives as a key (and cancels) rather than killing the host with the terminal raw.
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    // Keys typed before the dialog showed are not meant for it.
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &raw) == 0;
  }
  ~RawTerminal() {
    if (active_) ::tcsetattr(fd_, TCSANOW, &saved_);
  }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;
  bool active() const { return active_; }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

class TerminalDialogHost : public DialogHost {
 public:
  TerminalDialogHost() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      wake_read_.Reset(fds[0]);
      wake_write_.Reset(fds[1]);
    }
  }

  int DoModal(DialogCallbacks& callbacks) override {
    if (wake_read_.get() < 0) return -1;
    Fd tty;
    const char* mode = std::getenv("TARN_DIALOG");
    if (mode == nullptr || std::strcmp(mode, "headless") != 0) {
      tty.Reset(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    }
    std::unique_ptr<RawTerminal> raw;
    if (tty.get() >= 0) {
      raw = std::make_unique<RawTerminal>(tty.get());
      if (!raw->active()) {
        raw.reset();
        tty.Reset();
      }
    }
    tty_ = tty.get();
    ended_ = false;
    result_ = 0;
    timer_active_ = false;
    drawn_ = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      running_ = true;
    }
    // Whatever happens below, the queue is closed and the terminal is given back.
    struct Leave {
      TerminalDialogHost& self;
      ~Leave() { self.Leave(); }
    } leave{*this};

    callbacks.OnInitDialog();
    if (!ended_) Draw();
    while (!ended_) {
      pollfd fds[2] = {{wake_read_.get(), POLLIN, 0}, {tty_, POLLIN, 0}};
      const nfds_t count = tty_ >= 0 ? 2 : 1;
      int timeout = 1000;
      if (timer_active_) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(next_tick_ - Clock::now());
        timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(left.count(), 1000)));
      }
      int ready = ::poll(fds, count, timeout);
      if (ready < 0 && errno != EINTR) break;
      if (ready > 0 && (fds[0].revents & POLLIN)) HandlePosted(callbacks);
      if (!ended_ && count == 2 && fds[1].revents != 0) HandleKeys(callbacks);
      if (!ended_ && timer_active_ && Clock::now() >= next_tick_) {
        next_tick_ += period_;
        if (next_tick_ <= Clock::now()) next_tick_ = Clock::now() + period_;
        callbacks.OnTimer(timer_id_);
      }
      if (!ended_ && dirty_) Draw();
    }
    return result_;
  }

  void SetWindowText(const std::string& text) override {
    title_ = text;
    dirty_ = true;
  }

  void SetDlgItemText(int control, const std::string& text) override {
    if (control == kIdentifierControl) identifier_ = text;
    if (control == kCountdownControl) countdown_ = text;
    dirty_ = true;
  }

  unsigned SetTimer(unsigned id, unsigned ms) override {
    timer_id_ = id;
    period_ = std::chrono::milliseconds(ms);
    next_tick_ = Clock::now() + period_;
    timer_active_ = true;
    return id;
  }

  void KillTimer(unsigned id) override {
    if (id == timer_id_) timer_active_ = false;
  }

  void EndDialog(int result) override {
    result_ = result;
    ended_ = true;
  }

  void PostDlgItemText(int control, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    posted_.emplace_back(control, text);
    Wake();
  }

  void PostCancel() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    cancel_posted_ = true;
    Wake();
  }

 private:
  // Called with mutex_ held; the pipe is non-blocking, so a full pipe never stalls a poster.
  void Wake() {
    const char byte = 1;
    ssize_t n = ::write(wake_write_.get(), &byte, 1);
    (void)n;
  }

  void HandlePosted(DialogCallbacks& callbacks) {
    char sink[64];
    while (::read(wake_read_.get(), sink, sizeof sink) > 0) {
    }
    std::vector<std::pair<int, std::string>> texts;
    bool cancel = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      texts.swap(posted_);
      cancel = std::exchange(cancel_posted_, false);
    }
    for (const auto& [control, text] : texts) SetDlgItemText(control, text);
    if (cancel) callbacks.OnCancel();
  }

  void HandleKeys(DialogCallbacks& callbacks) {
    unsigned char keys[64];
    ssize_t n = ::read(tty_, keys, sizeof keys);
    if (n <= 0) {
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) tty_ = -1;  // terminal gone
      return;
    }
    const auto size = static_cast<size_t>(n);
    for (size_t i = 0; i < size && !ended_; ++i) {
      const unsigned char key = keys[i];
      if (key == 0x1b && i + 1 < size && (keys[i + 1] == '[' || keys[i + 1] == 'O')) {
        // An arrow or function key: skip its sequence rather than read it as Esc.
        i += 2;
        while (i < size && keys[i] >= 0x30 && keys[i] <= 0x3f) ++i;
        continue;
      }
      if (key == 0x1b || key == 'q' || key == 'Q' || key == 0x03) callbacks.OnCancel();
    }
  }

  void Draw() {
    dirty_ = false;
    if (tty_ < 0) return;
    std::string out;
    if (drawn_) {
      out += "\x1b[" + std::to_string(kLines) + "A";
    } else {
      out += "\x1b[?25l\r\n";
    }
    const std::string lines[kLines] = {"== " + title_ + " ==", std::string("  ") + kPrompt,
                                       "  " + identifier_, "  " + countdown_,
                                       std::string("  ") + kCancelHint};
    for (const auto& line : lines) out += "\r\x1b[K" + line + "\r\n";
    WriteAll(tty_, out);
    drawn_ = true;
  }

  void Leave() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      running_ = false;
      posted_.clear();
      cancel_posted_ = false;
    }
    timer_active_ = false;
    // The last drawn state stays on the screen; the cursor comes back.
    if (tty_ >= 0 && drawn_) WriteAll(tty_, "\x1b[?25h");
    tty_ = -1;
  }

  Fd wake_read_;
  Fd wake_write_;
  int tty_ = -1;

  std::mutex mutex_;
  bool running_ = false;
  std::vector<std::pair<int, std::string>> posted_;
  bool cancel_posted_ = false;

  // Touched on the dialog's thread only.
  std::string title_;
  std::string identifier_;
  std::string countdown_;
  bool dirty_ = false;
  bool drawn_ = false;
  bool ended_ = false;
  int result_ = 0;
  bool timer_active_ = false;
  unsigned timer_id_ = 0;
  Clock::duration period_{};
  Clock::time_point next_tick_{};
};

}  // namespace

std::unique_ptr<DialogHost> CreateDialogHost() {
  return std::make_unique<TerminalDialogHost>();
}

void ShowMessageBox(Message message, int code) {
  std::string text = "カードリーダーが接続されていません。";
  if (message == Message::kDiscoveryError) {
    char formatted[96];
    std::snprintf(formatted, sizeof formatted, "例外が発生しました。Error(%d)", code);
    text = formatted;
  }
  std::string line = "TarnIccr: " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace tarn::iccr
