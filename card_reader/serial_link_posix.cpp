// The serial link on a POSIX terminal device.
//
// Handles index a table rather than being raw descriptors, so a handle that was closed can
// never reach a descriptor that the process has since opened for something else. Every wait
// also watches a per-link wake pipe: closing a descriptor does not wake a poll or read that
// another thread is blocked in, so ComClose wakes them through the pipe and closes the
// device only once they have left.
#include "serial_link_posix.h"
#include "serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace tarn::iccr {
namespace {

constexpr int kIntervalMs = 30;  // a read ends once the line stays quiet this long

struct Link {
  int fd = -1;
  int wake_read = -1;
  int wake_write = -1;
  std::mutex mutex;
  std::condition_variable idle;
  int users = 0;
  bool closing = false;
};

std::mutex g_table_mutex;
std::map<int, std::shared_ptr<Link>> g_links;
int g_next_handle = 0;

// Marks one transfer in progress on a link that is still in the table; the close waits for
// every such transfer to leave before it releases the descriptors.
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

void CloseQuietly(int fd) {
  if (fd >= 0) ::close(fd);
}

void ApplyLineSettings(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return;  // a setting refused leaves the line as it is
  MakeReaderLine(tio);
  ::tcsetattr(fd, TCSANOW, &tio);
}

// Waits for `events` on the device or for the wake pipe. Returns the device's revents, 0 on
// time-out, -1 when woken for closing or on a failure.
int WaitDevice(const Link& link, short events, int timeout_ms) {
  pollfd fds[2] = {{link.fd, events, 0}, {link.wake_read, POLLIN, 0}};
  for (;;) {
    const int n = ::poll(fds, 2, timeout_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) return 0;
    if (fds[1].revents != 0) return -1;
    return fds[0].revents;
  }
}

}  // namespace

std::string ComDevicePath(const char* name) {
  std::string path(name);
  if (path.empty() || path[0] != '/') path = "/dev/" + path;
  return path;
}

void MakeReaderLine(termios& tio) {
  ::cfmakeraw(&tio);
  ::cfsetispeed(&tio, B9600);
  ::cfsetospeed(&tio, B9600);
  // No flow control: the reader drives neither handshake line.
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | PARENB | CREAD | CLOCAL;
  tio.c_iflag |= INPCK;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
}

int ComOpen(const char* portName) {
  if (portName == nullptr) return -1;
  const std::string path = ComDevicePath(portName);
  // Non-blocking: the open must not wait for a carrier, and transfers wait in poll so that a
  // close can release them.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  if (!::isatty(fd) || ::ioctl(fd, TIOCEXCL) != 0) {
    ::close(fd);
    return -1;
  }
  // TIOCEXCL does not hold against root; the lock also refuses a second open of ours.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  ApplyLineSettings(fd);

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    return -1;
  }
  auto link = std::make_shared<Link>();
  link->fd = fd;
  link->wake_read = pipe_fds[0];
  link->wake_write = pipe_fds[1];

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
  ::tcflush(link->fd, TCIOFLUSH);
  {
    std::unique_lock<std::mutex> lock(link->mutex);
    link->closing = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(link->wake_write, &byte, 1);
    link->idle.wait(lock, [&] { return link->users == 0; });
  }
  int bits = TIOCM_DTR;
  ::ioctl(link->fd, TIOCMBIC, &bits);  // fails on a pseudo-terminal, which has no DTR
  ::ioctl(link->fd, TIOCNXCL);
  ::close(link->fd);
  CloseQuietly(link->wake_read);
  CloseQuietly(link->wake_write);
}

int ComRead(int port, void* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  LinkUse use(port);
  Link* link = use.get();
  if (link == nullptr) return 0;
  auto* out = static_cast<unsigned char*>(buffer);
  int total = 0;
  int timeout = -1;  // the first byte is awaited without limit
  while (total < size) {
    const int revents = WaitDevice(*link, POLLIN, timeout);
    if (revents <= 0) break;
    if ((revents & POLLIN) == 0) break;  // hang-up or error without data
    const ssize_t n = ::read(link->fd, out + total, static_cast<size_t>(size - total));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    total += static_cast<int>(n);
    timeout = kIntervalMs;
  }
  return total;
}

int ComWrite(int port, const void* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  LinkUse use(port);
  Link* link = use.get();
  if (link == nullptr) return 0;
  const auto* in = static_cast<const unsigned char*>(buffer);
  int total = 0;
  while (total < size) {
    const ssize_t n = ::write(link->fd, in + total, static_cast<size_t>(size - total));
    if (n > 0) {
      total += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      const int revents = WaitDevice(*link, POLLOUT, -1);
      if (revents > 0 && (revents & POLLOUT) != 0) continue;
    }
    break;
  }
  return total;
}

}  // namespace tarn::iccr
