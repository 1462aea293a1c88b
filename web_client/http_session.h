// The HTTP layer the session object talks through: one session per object, requests in
// turn, answers pushed to a sink. One implementation file per platform.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace tarn::web {

class HttpAnswerSink {
 public:
  virtual ~HttpAnswerSink() = default;
  // Called once per request with the final status code, before any body byte.
  // Returning false leaves the body unread.
  virtual bool OnStatus(unsigned code) = 0;
  // The body, in order. Returning false abandons the transfer.
  virtual bool OnBody(const char* data, size_t size) = 0;
};

// A request body that the HTTP layer reads in blocks while the request goes out.
class HttpRequestBody {
 public:
  virtual ~HttpRequestBody() = default;
  // The length announced in the request, fixed before the first byte leaves.
  virtual uint64_t size() const = 0;
  // Up to `capacity` bytes into `buffer`; `got` is 0 once the body is complete. False when the
  // body cannot be delivered as announced: the request must then not be completed.
  virtual bool Read(char* buffer, size_t capacity, size_t& got) = 0;
  // Back to the first byte, for a request that goes out again.
  virtual bool Rewind() = 0;
  // Why Read failed.
  virtual std::string ErrorText() const = 0;
};

// A body held in memory, such as a form.
class StringBody final : public HttpRequestBody {
 public:
  explicit StringBody(std::string data) : data_(std::move(data)) {}
  uint64_t size() const override { return data_.size(); }
  bool Read(char* buffer, size_t capacity, size_t& got) override {
    got = std::min(capacity, data_.size() - pos_);
    std::memcpy(buffer, data_.data() + pos_, got);
    pos_ += got;
    return true;
  }
  bool Rewind() override {
    pos_ = 0;
    return true;
  }
  std::string ErrorText() const override { return std::string(); }

 private:
  std::string data_;
  size_t pos_ = 0;
};

class HttpSession {
 public:
  virtual ~HttpSession() = default;
  // Non-zero: through the platform's configured proxy; 0: straight to the server.
  virtual void SetUseProxy(bool use_proxy) = 0;
  // GET of an absolute address. False when the HTTP layer failed; `error` then holds its
  // readable text. A sink that declined or abandoned the answer is not a failure here.
  virtual bool Get(const std::string& url, HttpAnswerSink& sink, std::string& error) = 0;
  // POST of `body` to `path` on host:port with one extra header line.
  virtual bool Post(const std::string& host, uint16_t port, const std::string& path,
                    const std::string& header_line, HttpRequestBody& body, HttpAnswerSink& sink,
                    std::string& error) = 0;
};

std::unique_ptr<HttpSession> CreateHttpSession();

}  // namespace tarn::web
