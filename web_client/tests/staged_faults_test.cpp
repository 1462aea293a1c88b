// Appliance faults staged in the simulator, end to end through the exports on every target:
// each call returns within its bound with a failure a person can read, leaves the local file
// as it was, and still signs out.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "export_test_env.h"
#include "process_probe.h"

namespace tarn::web {
namespace {

using testing::ExportTest;
using testing::MessageBuffer;
using testing::ReadFile;
using testing::Utf8;
using testing::WriteFile;
using Clock = std::chrono::steady_clock;

constexpr char kStatus[] = "/script/_userlogin/zc_auth.shp";
constexpr char kLogin[] = "/cgi-bin/userlogin/login.cgi";
constexpr char kJobLog[] = "/cgi-bin/log/jobLog.cgi";
constexpr char kLogout[] = "/cgi-bin/userlogin/logout.cgi";

// Bounds against hanging. The product gives up on a request after 30 s without a byte: cases
// that meet that limit get a wide margin over it; the others must not come near it.
constexpr auto kStallBound = std::chrono::seconds(90);
constexpr auto kQuickBound = std::chrono::seconds(20);

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex.push_back(kDigits[c >> 4]);
    hex.push_back(kDigits[c & 15]);
  }
  return hex;
}

std::string Noise(size_t size) {
  std::mt19937 random(14);
  std::string bytes(size, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(random() & 0xFF);
  return bytes;
}

struct FaultCase {
  const char* name;
  const char* path;       // the request that meets the fault
  nlohmann::json answer;  // the simulator's answer to it
  bool status_came;       // a status line arrives: 98 with it is as good as 99
  bool stalls;            // the call waits on the stall limit
  // A platform may take the answer as sound: then the body must arrive whole.
  bool may_be_taken = false;
  // The target whose HTTP layer hides this fault: there it may pass for success, and only the
  // bound and the sign-out hold.
  const char* blind_target = "";
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<FaultCase> FaultCases() {
  const std::string body = "2023-01-05 10:00 print job.pdf user=admin pages=3\n";
  return {
      {"NeverAnswers", kJobLog, {{"hang", true}}, false, true},
      {"HeadersThenStall", kJobLog, {{"stall_after", 0}, {"body", body}}, false, true},
      {"ClosesMidBody", kJobLog, {{"cut_after", 10}, {"body", body}}, false, false},
      {"GarbageStatusLine",
       kLogin,
       {{"raw_hex", Hex("SPAM 200 SPAM\r\nContent-Length: 5\r\n\r\nhello")}},
       false,
       false},
      {"BinaryNoise", kJobLog, {{"raw_hex", Hex(Noise(4096))}}, false, false},
      // Wine cuts the line short and keeps the answer.
      {"HeaderLineOf300KB",
       kJobLog,
       {{"header_size", 300 * 1024}, {"body", body}},
       false,
       false,
       true},
      {"BrokenChunkedEncoding",
       kJobLog,
       {{"raw_hex", Hex("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                        "10\r\n0123456789abcdef\r\nzz\r\nnot a chunk\r\n0\r\n\r\n")}},
       false,
       false,
       false,
       // Wine's WinINet reads a chunk size it cannot parse as the body's end.
       "wine"},
      {"ChunkCutShort",
       kJobLog,
       {{"raw_hex", Hex("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                        "100\r\n0123456789abcdef")}},
       false,
       false,
       false,
       // And a chunked body that the closed connection cuts short as a whole one.
       "wine"},
      {"StatusCode2000",
       kJobLog,
       {{"raw_hex", Hex("HTTP/1.1 2000 Odd\r\nContent-Length: 5\r\n\r\nhello")}},
       true,
       false},
      {"RedirectLoop", kJobLog, {{"status", 302}, {"location", kJobLog}}, true, false},
  };
}

// Some printable text, terminated inside the buffer.
::testing::AssertionResult Readable(const MessageBuffer& message) {
  const std::u16string text = message.text();
  if (text.empty()) return ::testing::AssertionFailure() << "no text";
  if (text.size() >= 256) return ::testing::AssertionFailure() << "no terminator";
  for (char16_t unit : text) {
    if (unit < 0x20 || unit == 0x7F) {
      return ::testing::AssertionFailure() << "control character in [" << Utf8(text) << "]";
    }
  }
  return ::testing::AssertionSuccess() << Utf8(text);
}

class StagedFault : public ExportTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(StagedFault, ReturnsInTimeWithAReadableFailureAndSignsOut) {
  const FaultCase& c = GetParam();
  sim_->Configure({{"responses", {{c.path, c.answer}}}});
  const auto file = dir_ / "log.txt";
  WriteFile(file, "the last good copy\n");
  MessageBuffer message;
  const auto start = Clock::now();
  const int result =
      target_->GetJobLogW(whost().c_str(), u"admin", u"secret", Local(file).c_str(), message.units);
  const auto took = Clock::now() - start;
  RecordProperty("result", result);
  RecordProperty("message", Utf8(message.text()));

  EXPECT_LT(took, c.stalls ? kStallBound : kQuickBound);
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    EXPECT_TRUE(entry.path() == file || entry.path() == dump()) << "left behind: " << entry.path();
  }
  const bool blind = target_->name() == c.blind_target;
  if (blind) {
    RecordProperty("hidden_by_the_platform", "true");
  } else if (c.may_be_taken && result == 0) {
    EXPECT_TRUE(message.untouched());
    EXPECT_EQ(ReadFile(file), c.answer.at("body").get<std::string>()) << "taken, then whole";
  } else {
    EXPECT_TRUE(Readable(message));
    if (c.status_came && result == 98) {
      const std::string text = Utf8(message.text());
      EXPECT_TRUE(text.find(' ') != std::string::npos && text[0] >= '1' && text[0] <= '9')
          << "a status line: " << text;
    } else {
      EXPECT_EQ(result, 99) << Utf8(message.text());
    }
    EXPECT_EQ(ReadFile(file), "the last good copy\n");
  }
  const auto requests = sim_->Requests();
  EXPECT_FALSE(sim_->RequestsTo(c.path).empty())
      << "the fault was not met: " << Utf8(message.text());
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().path, kLogout) << "the sign-out came last";
}

INSTANTIATE_TEST_SUITE_P(Appliance, StagedFault, ::testing::ValuesIn(FaultCases()),
                         [](const auto& c) { return std::string(c.param.name); });

// Redirects are followed, a bounded number of times: a GET fetches the new address, a POST
// answered with 307 is repeated there with its body.
class Redirects : public ExportTest {};

TEST_F(Redirects, ThatEndAreFollowed) {
  struct Case {
    const char* path;
    nlohmann::json answer;
  } cases[] = {
      {kJobLog, {{"status", 302}, {"location", kJobLog}, {"times", 1}}},
      {kJobLog, {{"status", 301}, {"location", sim_->Url(kJobLog)}, {"times", 3}}},
      {kLogin, {{"status", 307}, {"location", kLogin}, {"times", 1}}},
  };
  for (const auto& c : cases) {
    sim_->Reset();
    sim_->Configure({{"responses", {{c.path, c.answer}}}});
    const auto file = dir_ / "log.txt";
    MessageBuffer message;
    EXPECT_EQ(target_->GetJobLogW(whost().c_str(), u"admin", u"secret", Local(file).c_str(),
                                  message.units),
              0)
        << c.answer << " " << Utf8(message.text());
    EXPECT_NE(ReadFile(file).find("print job.pdf"), std::string::npos) << c.answer;
  }
}

// A redirect that leaves HTTP is a failure: nothing is fetched from a file or another service.
TEST_F(Redirects, ToOtherSchemesAreRefused) {
  for (const char* location : {"file:///etc/hostname", "ftp://127.0.0.1:9/log.txt"}) {
    sim_->Reset();
    sim_->Configure({{"responses", {{kJobLog, {{"status", 302}, {"location", location}}}}}});
    const auto file = dir_ / "log.txt";
    MessageBuffer message;
    EXPECT_EQ(target_->GetJobLogW(whost().c_str(), u"admin", u"secret", Local(file).c_str(),
                                  message.units),
              99)
        << location << " " << Utf8(message.text());
    EXPECT_FALSE(std::filesystem::exists(file)) << location;
  }
}

class HugeStatusAnswer : public ExportTest {};

// The status answer goes to the dump file and is read back line by line: a gigabyte of it,
// with the value on its last line, costs neither the memory nor the result.
TEST_F(HugeStatusAnswer, GigabyteIsReadInBoundedMemory) {
  constexpr long kGrowthBoundKb = 64 * 1024;
  constexpr auto kBound = std::chrono::seconds(90);
  sim_->Configure(
      {{"responses",
        {{kStatus, {{"kind", "large"}, {"size", 1u << 30}, {"tail", "mchiman=1\n"}}}}}});
  const int pid = target_->pid();
  ASSERT_TRUE(tarn::test::ResetPeakMemory(pid));
  const long before = tarn::test::MemoryKb(pid, "VmRSS");
  ASSERT_GT(before, 0);
  MessageBuffer message;
  const auto start = Clock::now();
  EXPECT_EQ(target_->GetDeviceStatusMchimanW(whost().c_str(), message.units), 1)
      << Utf8(message.text());
  EXPECT_LT(Clock::now() - start, kBound);
  const long growth = tarn::test::MemoryKb(pid, "VmHWM") - before;
  RecordProperty("peak_growth_kb", std::to_string(growth));
  RecordProperty("resident_before_kb", std::to_string(before));
  EXPECT_LT(growth, kGrowthBoundKb) << "peak memory grew by " << growth << " kB";
  EXPECT_TRUE(message.untouched());
}

}  // namespace
}  // namespace tarn::web
