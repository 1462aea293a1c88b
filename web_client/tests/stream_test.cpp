// The pieces that let a transfer run in flight: the job log's re-encoding and the answer check
// over a text that arrives cut anywhere, against the whole-text algorithms; and a file sent as a
// request body whose size changes under it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "answer_scan.h"
#include "text_codec.h"
#include "text_io.h"
#include "utf8.h"
#include "utf8_cases.h"

namespace tarn::web {
namespace {

std::string WholeRecode(const std::string& in) {
  std::string out;
  int error = 0;
  EXPECT_TRUE(RecodeUtf8(in.data(), in.size(), out, error));
  return out;
}

// Feeds `in` in the pieces that end at `cuts` (ascending).
std::string StreamRecode(const std::string& in, const std::vector<size_t>& cuts) {
  utf8::StreamRecoder recoder;
  std::string out;
  size_t from = 0;
  for (size_t cut : cuts) {
    recoder.Feed(in.data() + from, cut - from, out);
    from = cut;
  }
  recoder.Feed(in.data() + from, in.size() - from, out);
  recoder.Finish(out);
  return out;
}

// Bytes drawn mostly from the places where UTF-8 goes wrong: lead bytes of every length, the
// edges of the second byte's ranges, continuations, zero, and plain ASCII.
std::string RandomUtf8ish(std::mt19937& rng, size_t size) {
  static const unsigned char kBytes[] = {'a',  '\n', 0x00, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0,
                                         0xbf, 0xc0, 0xc1, 0xc2, 0xdf, 0xe0, 0xe1, 0xec, 0xed,
                                         0xee, 0xef, 0xf0, 0xf3, 0xf4, 0xf5, 0xff};
  std::uniform_int_distribution<size_t> pick(0, sizeof kBytes - 1);
  std::uniform_int_distribution<int> zero_odds(0, 40);
  std::string s;
  for (size_t i = 0; i < size; ++i) {
    unsigned char b = kBytes[pick(rng)];
    if (b == 0 && zero_odds(rng) != 0) b = 'z';  // a zero ends the text: keep them rare
    s.push_back(static_cast<char>(b));
  }
  return s;
}

std::vector<std::string> AdversarialTexts() {
  std::vector<std::string> texts;
  std::string all;
  for (const auto& c : testing::RecodeCases()) {
    texts.push_back(c.in);
    if (c.in.find('\0') == std::string::npos) all += c.in;
  }
  texts.push_back(all);
  texts.push_back("x\xf0\x9f\x98\x80\xf0\x9f\x98\xe3\x81\x82\xe3\x81\xc3\xa9\xc3");
  texts.push_back(std::string("\xf0\x9f\x98", 3) + std::string(1, '\0') + "\xc3\xa9");
  texts.push_back(std::string(20, '\xe3'));
  texts.push_back(std::string(21, '\x80'));
  std::mt19937 rng(20261210);
  for (int i = 0; i < 40; ++i) texts.push_back(RandomUtf8ish(rng, 48));
  return texts;
}

TEST(StreamRecoder, SameBytesAsTheWholeBodyWhereverItIsCut) {
  for (const auto& in : AdversarialTexts()) {
    const std::string expected = WholeRecode(in);
    std::vector<size_t> bytewise;
    for (size_t i = 1; i < in.size(); ++i) bytewise.push_back(i);
    EXPECT_EQ(StreamRecode(in, bytewise), expected) << "one byte at a time";
    for (size_t i = 0; i <= in.size(); ++i) {
      EXPECT_EQ(StreamRecode(in, {i}), expected) << "cut at " << i;
      for (size_t j = i; j <= in.size() && in.size() <= 24; ++j) {
        EXPECT_EQ(StreamRecode(in, {i, j}), expected) << "cut at " << i << " and " << j;
      }
    }
  }
}

TEST(StreamRecoder, LongRandomTextsInRandomPieces) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    const std::string in = RandomUtf8ish(rng, 1 << 14);
    std::uniform_int_distribution<size_t> step(1, 9);
    std::vector<size_t> cuts;
    for (size_t at = step(rng); at < in.size(); at += step(rng)) cuts.push_back(at);
    EXPECT_EQ(StreamRecode(in, cuts), WholeRecode(in)) << "round " << round;
  }
}

// The check as it reads the file: line by line, the later marker line overriding.
int LineByLineCheck(const std::string& text, bool web_page_counts) {
  int result = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (web_page_counts && line.find("<html>") != std::string::npos) result = 96;
    if (line.find("Zephyrcastle NG") != std::string::npos) result = 95;
    start = end + 1;
  }
  return result;
}

int PiecewiseCheck(const std::string& text, bool web_page_counts, const std::vector<size_t>& cuts) {
  answer::AnswerMarkers markers(web_page_counts);
  size_t from = 0;
  for (size_t cut : cuts) {
    markers.Feed(text.data() + from, cut - from);
    from = cut;
  }
  markers.Feed(text.data() + from, text.size() - from);
  return markers.result();
}

TEST(AnswerMarkers, SameResultAsTheLineByLineCheckWhereverTheTextIsCut) {
  const std::string texts[] = {
      "",
      "plain\ndata\n",
      "<html>",
      "Zephyrcastle NG",
      "a<html>b\nc\n",
      "<html>\n<html>Zephyrcastle NG\n",
      "Zephyrcastle NG<html>\n",
      "Zephyrcastle NG\n<html>\n",
      "<html>\nx\nZephyrcastle NG",
      "Zephyrcastle NG\n\n\n<html>x",
      "<html\n>Zephyrcastle\nNG <htm<html>",
      "ZephyrcastleZephyrcastle NGG<<html>>\n",
      "<html>Zephyrcastle N\nG",
      "Zephyrcastle NG\nZephyrcastle NG<html>\n<html>\nZephyrcastle NG<html>",
  };
  for (const auto& text : texts) {
    for (bool pages : {true, false}) {
      const int expected = LineByLineCheck(text, pages);
      std::vector<size_t> bytewise;
      for (size_t i = 1; i < text.size(); ++i) bytewise.push_back(i);
      EXPECT_EQ(PiecewiseCheck(text, pages, bytewise), expected) << text << " bytewise";
      for (size_t i = 0; i <= text.size(); ++i) {
        for (size_t j = i; j <= text.size(); ++j) {
          EXPECT_EQ(PiecewiseCheck(text, pages, {i, j}), expected)
              << text << " cut at " << i << " and " << j << (pages ? "" : " (dump file)");
        }
      }
    }
  }
}

TEST(AnswerMarkers, RandomTextsInRandomPieces) {
  static const char* const kParts[] = {"<html>", "Zephyrcastle NG", "\n", "<ht", "ml>",
                                       "Zephyr", "castle NG",       "x",  "  "};
  std::mt19937 rng(11);
  std::uniform_int_distribution<size_t> part(0, sizeof kParts / sizeof kParts[0] - 1);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    for (int i = 0; i < 30; ++i) text += kParts[part(rng)];
    std::uniform_int_distribution<size_t> step(1, 20);
    std::vector<size_t> cuts;
    for (size_t at = step(rng); at < text.size(); at += step(rng)) cuts.push_back(at);
    for (bool pages : {true, false}) {
      EXPECT_EQ(PiecewiseCheck(text, pages, cuts), LineByLineCheck(text, pages)) << text;
    }
  }
}

// A file whose size is not the one it had when it was opened never yields a body of another
// length: the read that finds out fails and names the file.
TEST(FileBody, SizeChangedAfterOpeningFails) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("tarn-file-body-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto path = dir / "users.csv";
  struct Case {
    const char* name;
    std::string content;
    void (*change)(const std::filesystem::path&);
    bool ok;
  } cases[] = {
      {"unchanged", "a,b\nc,d\n", [](const std::filesystem::path&) {}, true},
      {"empty, unchanged", "", [](const std::filesystem::path&) {}, true},
      {"grew", "a,b\n",
       [](const std::filesystem::path& p) { std::ofstream(p, std::ios::app) << "more\n"; }, false},
      {"empty, grew", "",
       [](const std::filesystem::path& p) { std::ofstream(p, std::ios::app) << "x"; }, false},
      {"shrank", "a,b\nc,d\n",
       [](const std::filesystem::path& p) { std::filesystem::resize_file(p, 3); }, false},
      {"emptied", "a,b\n",
       [](const std::filesystem::path& p) { std::filesystem::resize_file(p, 0); }, false},
  };
  for (const auto& c : cases) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << c.content;
    FileBody body;
    ASSERT_TRUE(body.Open(path.string())) << c.name;
    EXPECT_EQ(body.size(), c.content.size()) << c.name;
    c.change(path);
    std::string sent;
    bool ok = true;
    for (int reads = 0; reads < 100; ++reads) {  // bounded: a few bytes per read
      char block[3];
      size_t got = 0;
      ok = body.Read(block, sizeof block, got);
      if (!ok || got == 0) break;
      sent.append(block, got);
    }
    EXPECT_EQ(ok, c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(sent, c.content) << c.name;
    } else {
      EXPECT_EQ(body.ErrorText(),
                "The file changed size during the upload. FileName:[" + path.string() + "]")
          << c.name;
      EXPECT_LE(sent.size(), c.content.size()) << c.name << ": never more than announced";
    }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tarn::web
