// The transfer progress line: drawn every quarter second over itself with a carriage return.
#include "progress.h"

#include <cstdio>
#include <iostream>

#include "console.h"

namespace tarn::host {
namespace {

constexpr auto kInterval = std::chrono::milliseconds(250);

std::string Size(double bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%.0f B", bytes);
    return text;
  }
  size_t unit = 0;
  bytes /= 1024;
  while (bytes >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    bytes /= 1024;
    ++unit;
  }
  std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
  return text;
}

std::string Elapsed(double seconds) {
  const long total = static_cast<long>(seconds);
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

}  // namespace

TransferProgress::TransferProgress(Direction direction, const std::string& path)
    : direction_(direction),
      path_(std::filesystem::u8path(path)),
      start_(std::chrono::steady_clock::now()) {
  if (!ErrorIsTerminal()) return;
  std::error_code error;
  real_ = std::filesystem::weakly_canonical(path_, error);
  if (error) real_ = path_;
  before_ = Look(path_);
  if (direction_ == Direction::kDownload) stale_parts_ = PartFiles();
  active_ = true;
  Draw(false, false);
  watcher_ = std::thread([this] { Watch(); });
}

TransferProgress::~TransferProgress() {
  Finish(false);
}

void TransferProgress::Finish(bool done) {
  if (!active_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  watcher_.join();
  active_ = false;
  Draw(true, done);
}

TransferProgress::FileState TransferProgress::Look(const std::filesystem::path& path) {
  FileState state;
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  if (error) return state;
  state.exists = true;
  state.size = size;
  state.time = std::filesystem::last_write_time(path, error);
  return state;
}

std::set<std::filesystem::path> TransferProgress::PartFiles() const {
  std::set<std::filesystem::path> parts;
  const std::string prefix = real_.filename().u8string() + ".part-";
  std::error_code error;
  const std::filesystem::path folder = real_.has_parent_path() ? real_.parent_path() : ".";
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().filename().u8string().compare(0, prefix.size(), prefix) == 0) {
      parts.insert(it->path());
    }
  }
  return parts;
}

std::uintmax_t TransferProgress::Bytes() const {
  if (direction_ == Direction::kUpload) return Look(path_).size;
  std::uintmax_t part_bytes = 0;
  bool writing = false;
  for (const auto& part : PartFiles()) {
    if (stale_parts_.count(part) != 0) continue;
    const FileState state = Look(part);
    if (state.exists && state.size >= part_bytes) {
      part_bytes = state.size;
      writing = true;
    }
  }
  if (writing) return part_bytes;
  // Done (the part file took the target's place), or written in place. Until the target
  // changes, what it holds is not this transfer's.
  const FileState now = Look(path_);
  return now == before_ ? 0 : now.size;
}

void TransferProgress::Draw(bool final, bool done) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double bytes = static_cast<double>(Bytes());
  const std::string rate = seconds > 0 ? "  " + Size(bytes / seconds) + "/s" : "";
  std::string line;
  if (direction_ == Direction::kDownload) {
    line = "received " + Size(bytes) + rate + "  " + Elapsed(seconds);
  } else if (final && done) {
    line = "sent " + Size(bytes) + rate + "  " + Elapsed(seconds);
  } else {
    // How much has left the machine is the library's secret until it returns: no rate yet.
    line = "sending " + Size(bytes) + "  " + Elapsed(seconds);
  }
  const size_t width = line.size();
  if (width < width_) line.append(width_ - width, ' ');
  if (width > width_) width_ = width;
  std::cerr << '\r' << line << (final ? "\n" : "") << std::flush;
}

void TransferProgress::Watch() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kInterval, [this] { return stop_; })) {
    lock.unlock();
    Draw(false, false);
    lock.lock();
  }
}

}  // namespace tarn::host
