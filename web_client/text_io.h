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

 private:
  std::FILE* file_ = nullptr;
  char buffer_[4096];
  size_t pos_ = 0;
  size_t length_ = 0;
};

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
