// Local files as the session object uses them: binary, line by line, or as answer targets.
#pragma once

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "http_helper.h"

namespace tarn::web {

// Reads a file in binary mode one line at a time: a line ends at "\n", which is removed; a
// "\r" before it stays; the last line needs no "\n".
class LineReader {
 public:
  explicit LineReader(const std::string& path);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool is_open() const { return file_ != nullptr; }
  bool ReadLine(std::string& line);
  // The lines in bounded memory: each reaches `piece(data, size)` in one or more pieces (its
  // line feed left out), then `end()`. Lines already taken with ReadLine are not seen again.
  template <typename Piece, typename End>
  void ForEachLine(Piece piece, End end);

 private:
  std::FILE* file_ = nullptr;
  char buffer_[64 * 1024];
  size_t pos_ = 0;
  size_t length_ = 0;
};

template <typename Piece, typename End>
void LineReader::ForEachLine(Piece piece, End end) {
  if (file_ == nullptr) return;
  bool open_line = false;  // bytes of a line without its line feed yet
  for (;;) {
    if (pos_ == length_) {
      length_ = std::fread(buffer_, 1, sizeof buffer_, file_);
      pos_ = 0;
      if (length_ == 0) break;
    }
    const char* start = buffer_ + pos_;
    const auto* nl = static_cast<const char*>(std::memchr(start, '\n', length_ - pos_));
    const size_t size = nl != nullptr ? static_cast<size_t>(nl - start) : length_ - pos_;
    if (size > 0) piece(start, size);
    pos_ += size;
    if (nl == nullptr) {
      open_line = true;
      continue;
    }
    ++pos_;
    open_line = false;
    end();
  }
  if (open_line) end();  // the last line needs no line feed
}

// Writes the body into a new file beside the target and puts it in the target's place only
// once the body is complete, so a failed transfer leaves the previous file as it was.
class FileTarget final : public BodyTarget {
 public:
  FileTarget(std::string path, std::string open_error);
  ~FileTarget() override;
  FileTarget(const FileTarget&) = delete;
  FileTarget& operator=(const FileTarget&) = delete;

  bool Open() override;
  bool Write(const char* data, size_t size) override;
  bool Close() override;
  void Abort() override;
  std::string ErrorText() const override { return error_; }

 private:
  std::string path_;
  std::string open_error_;
  std::string error_;
  std::string replaced_;  // the file that the finished body takes the place of
  std::string temp_;      // empty when the target is written in place
  std::FILE* file_ = nullptr;
};

// Keeps the whole body in memory.
class MemoryTarget final : public BodyTarget {
 public:
  bool Open() override {
    data_.clear();
    return true;
  }
  bool Write(const char* data, size_t size) override {
    try {
      data_.append(data, size);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }
  bool Close() override { return true; }
  std::string ErrorText() const override { return "Out of memory."; }
  const std::string& data() const { return data_; }

 private:
  std::string data_;
};

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& data);
// Puts a file holding `data` in the place of `path`, through a file beside it; false when it
// cannot be created or written, and then the previous file stays as it was.
bool WriteWholeFile(const std::string& path, const std::string& data);
// Every "%" as "%25".
std::string EscapePercent(const std::string& url);

}  // namespace tarn::web
