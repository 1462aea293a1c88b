// A progress line for one transfer on standard error, only when that is a terminal. The
// libraries say nothing while they work, so a thread watches from outside: a download's bytes
// are its file's size as it grows; an upload shows its file's size until the call returns.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

namespace tarn::host {

class TransferProgress {
 public:
  enum class Direction { kDownload, kUpload };

  // `path` is the transfer's local file, as console text. Starts the line, or does nothing when
  // standard error is not a terminal.
  TransferProgress(Direction direction, const std::string& path);
  ~TransferProgress();
  TransferProgress(const TransferProgress&) = delete;
  TransferProgress& operator=(const TransferProgress&) = delete;

  // Stops watching and leaves the last line on the screen; `done` says the transfer succeeded.
  void Finish(bool done);

 private:
  struct FileState {
    bool exists = false;
    std::uintmax_t size = 0;
    std::filesystem::file_time_type time{};
    bool operator==(const FileState& o) const {
      return exists == o.exists && size == o.size && time == o.time;
    }
  };
  static FileState Look(const std::filesystem::path& path);
  std::uintmax_t Bytes() const;
  void Draw(bool final, bool done);
  void Watch();

  const Direction direction_;
  const std::filesystem::path path_;
  const std::chrono::steady_clock::time_point start_;
  FileState before_;  // the download's file before the library truncated it, if it existed
  size_t width_ = 0;  // the longest line drawn, so a shorter one covers it
  bool active_ = false;
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread watcher_;
};

}  // namespace tarn::host
