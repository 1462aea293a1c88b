// A progress line for one transfer on standard error, only when that is a terminal. The
// libraries say nothing while they work, so a thread watches from outside: a download's bytes
// are the size of the file it is being written to (a new file beside the target, named after it,
// that takes the target's place when done); an upload shows its file's size until the call
// returns.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <set>
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
  // The download's files in the making beside the target: the file names that begin with the
  // target's name and ".part-".
  std::set<std::filesystem::path> PartFiles() const;
  std::uintmax_t Bytes() const;
  void Draw(bool final, bool done);
  void Watch();

  const Direction direction_;
  const std::filesystem::path path_;
  const std::chrono::steady_clock::time_point start_;
  std::filesystem::path real_;  // the target with its links resolved: where the part file goes
  FileState before_;            // the target before the transfer
  std::set<std::filesystem::path> stale_parts_;  // left over from earlier runs
  size_t width_ = 0;  // the longest line drawn, so a shorter one covers it
  bool active_ = false;
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread watcher_;
};

}  // namespace tarn::host
