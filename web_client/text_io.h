// Local files as the session object uses them: binary, line by line, or as answer targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "answer_scan.h"
#include "http_helper.h"
#include "utf8.h"

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
  std::unique_ptr<char[]> buffer_;  // the disk sees large writes whatever the pieces' size
  size_t pending_ = 0;              // bytes in the buffer, not yet written

  bool Put(const char* data, size_t size);
};

// Hands the body on to `inner` and runs the answer check over it on the way, so the written
// file need not be read again.
class CheckedTarget final : public BodyTarget {
 public:
  CheckedTarget(BodyTarget& inner, bool web_page_counts)
      : inner_(inner), markers_(web_page_counts) {}
  bool Open() override { return inner_.Open(); }
  bool Write(const char* data, size_t size) override {
    markers_.Feed(data, size);
    return inner_.Write(data, size);
  }
  bool Close() override { return inner_.Close(); }
  void Abort() override { inner_.Abort(); }
  std::string ErrorText() const override { return inner_.ErrorText(); }
  // The check's result over what was written: 0, 95 or 96.
  int result() const { return markers_.result(); }

 private:
  BodyTarget& inner_;
  answer::AnswerMarkers markers_;
};

// Hands the job log on to `inner` re-encoded as it arrives.
class RecodingTarget final : public BodyTarget {
 public:
  explicit RecodingTarget(BodyTarget& inner) : inner_(inner) {}
  bool Open() override {
    recoder_ = utf8::StreamRecoder();
    return inner_.Open();
  }
  bool Write(const char* data, size_t size) override;
  bool Close() override;
  void Abort() override { inner_.Abort(); }
  std::string ErrorText() const override { return inner_.ErrorText(); }

 private:
  BodyTarget& inner_;
  utf8::StreamRecoder recoder_;
  std::string out_;
};

// A file sent as the body of a request: the file's size is fixed when it is opened, and a file
// whose size changes before the end is a failure rather than a body of another length.
class FileBody {
 public:
  FileBody() = default;
  ~FileBody();
  FileBody(const FileBody&) = delete;
  FileBody& operator=(const FileBody&) = delete;

  bool Open(const std::string& path);
  uint64_t size() const { return size_; }
  // Up to `capacity` bytes; `got` 0 at the end. False when the file could not be read or its
  // size changed; ErrorText then tells.
  bool Read(char* buffer, size_t capacity, size_t& got);
  bool Rewind();
  const std::string& ErrorText() const { return error_; }

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;
  uint64_t left_ = 0;
  std::string error_;
};

// Every "%" as "%25".
std::string EscapePercent(const std::string& url);

}  // namespace tarn::web
