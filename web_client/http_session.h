// The HTTP layer the session object talks through: one session per object, requests in
// turn, answers pushed to a sink. One implementation file per platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

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
                    const std::string& header_line, const std::string& body, HttpAnswerSink& sink,
                    std::string& error) = 0;
};

std::unique_ptr<HttpSession> CreateHttpSession();

}  // namespace tarn::web
