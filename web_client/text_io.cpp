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

bool FileTarget::Open() {
  replaced_ = ReplaceableTarget(path_);
  temp_.clear();
  file_ = replaced_.empty() ? OpenLocalFile(path_, "wb") : CreateFileBeside(replaced_, temp_);
  if (file_ == nullptr) error_ = open_error_;
  return file_ != nullptr;
}

bool FileTarget::Write(const char* data, size_t size) {
  if (file_ != nullptr && std::fwrite(data, 1, size, file_) == size) return true;
  error_ = "File write error. FileName:[" + path_ + "]";
  return false;
}

bool FileTarget::Close() {
  if (file_ == nullptr) return true;
  const bool written = std::fclose(file_) == 0;
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

bool ReadWholeFile(const std::string& path, std::string& data) {
  std::FILE* file = OpenLocalFile(path, "rb");
  if (file == nullptr) return false;
  data.clear();
  char buffer[1024];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) data.append(buffer, n);
  const bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

bool WriteWholeFile(const std::string& path, const std::string& data) {
  FileTarget target(path, std::string());
  return target.Open() && target.Write(data.data(), data.size()) && target.Close();
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
