#include "text_io.h"

#include "local_files.h"

namespace tarn::web {

LineReader::LineReader(const std::string& path) : file_(OpenLocalFile(path, "rb")) {}

LineReader::~LineReader() {
  if (file_ != nullptr) std::fclose(file_);
}

bool LineReader::ReadLine(std::string& line) {
  line.clear();
  if (file_ == nullptr) return false;
  bool any = false;
  for (;;) {
    if (pos_ == length_) {
      length_ = std::fread(buffer_, 1, sizeof buffer_, file_);
      pos_ = 0;
      if (length_ == 0) return any;
    }
    any = true;
    const char* start = buffer_ + pos_;
    const auto* nl = static_cast<const char*>(std::memchr(start, '\n', length_ - pos_));
    if (nl != nullptr) {
      line.append(start, static_cast<size_t>(nl - start));
      pos_ += static_cast<size_t>(nl - start) + 1;
      return true;
    }
    line.append(start, length_ - pos_);
    pos_ = length_;
  }
}

FileTarget::FileTarget(std::string path, std::string open_error)
    : path_(std::move(path)), open_error_(std::move(open_error)) {}

FileTarget::~FileTarget() {
  Abort();
}

namespace {
// Small pieces gather into writes of this size; a larger piece goes to the file as it is, with
// no copy on the way.
constexpr size_t kWriteBuffer = 256 * 1024;
}  // namespace

bool FileTarget::Open() {
  replaced_ = ReplaceableTarget(path_);
  temp_.clear();
  pending_ = 0;
  file_ = replaced_.empty() ? OpenLocalFile(path_, "wb") : CreateFileBeside(replaced_, temp_);
  if (file_ == nullptr) {
    error_ = open_error_;
    return false;
  }
  std::setvbuf(file_, nullptr, _IONBF, 0);
  if (!buffer_) buffer_.reset(new char[kWriteBuffer]);
  return true;
}

bool FileTarget::Put(const char* data, size_t size) {
  if (size == 0 || std::fwrite(data, 1, size, file_) == size) return true;
  error_ = "File write error. FileName:[" + path_ + "]";
  return false;
}

bool FileTarget::Write(const char* data, size_t size) {
  if (file_ == nullptr) {
    error_ = "File write error. FileName:[" + path_ + "]";
    return false;
  }
  if (pending_ + size <= kWriteBuffer) {
    std::memcpy(buffer_.get() + pending_, data, size);
    pending_ += size;
    return true;
  }
  const size_t held = pending_;
  pending_ = 0;
  if (!Put(buffer_.get(), held)) return false;
  if (size >= kWriteBuffer) return Put(data, size);
  std::memcpy(buffer_.get(), data, size);
  pending_ = size;
  return true;
}

bool FileTarget::Close() {
  if (file_ == nullptr) return true;
  const size_t held = pending_;
  pending_ = 0;
  const bool put = Put(buffer_.get(), held);
  const bool written = std::fclose(file_) == 0 && put;
  file_ = nullptr;
  if (written && (temp_.empty() || ReplaceLocalFile(temp_, replaced_))) return true;
  if (!temp_.empty()) RemoveLocalFile(temp_);
  error_ = "File write error. FileName:[" + path_ + "]";
  return false;
}

void FileTarget::Abort() {
  if (file_ == nullptr) return;
  std::fclose(file_);
  file_ = nullptr;
  if (!temp_.empty()) RemoveLocalFile(temp_);
}

bool RecodingTarget::Write(const char* data, size_t size) {
  out_.clear();
  recoder_.Feed(data, size, out_);
  return out_.empty() || inner_.Write(out_.data(), out_.size());
}

bool RecodingTarget::Close() {
  out_.clear();
  recoder_.Finish(out_);
  if (!out_.empty() && !inner_.Write(out_.data(), out_.size())) {
    inner_.Abort();
    return false;
  }
  return inner_.Close();
}

FileBody::~FileBody() {
  if (file_ != nullptr) std::fclose(file_);
}

bool FileBody::Open(const std::string& path) {
  path_ = path;
  file_ = OpenLocalFile(path, "rb");
  if (file_ == nullptr || !LocalFileSize(file_, size_)) {
    error_ = "File open error. FileName:[" + path + "]";
    return false;
  }
  left_ = size_;
  return true;
}

bool FileBody::Read(char* buffer, size_t capacity, size_t& got) {
  got = 0;
  if (left_ == 0) {
    // Bytes past the size given at the start would make the body longer than announced.
    if (std::fgetc(file_) == EOF && !std::ferror(file_)) return true;
    error_ = "The file changed size during the upload. FileName:[" + path_ + "]";
    return false;
  }
  const size_t want = left_ < capacity ? static_cast<size_t>(left_) : capacity;
  got = std::fread(buffer, 1, want, file_);
  left_ -= got;
  if (got > 0) return true;
  error_ = std::ferror(file_) ? "File read error. FileName:[" + path_ + "]"
                              : "The file changed size during the upload. FileName:[" + path_ + "]";
  return false;
}

bool FileBody::Rewind() {
  std::rewind(file_);
  left_ = size_;
  return true;
}

std::string EscapePercent(const std::string& url) {
  std::string out;
  out.reserve(url.size());
  for (char c : url) {
    if (c == '%') {
      out += "%25";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace tarn::web
