// The answer readers' line scanners against the C library's own reading of their formats, on
// random lines cut into random pieces; and whole files whose lines outgrow any buffer.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "answer_scan.h"
#include "http_helper.h"

namespace tarn::web {
namespace {

// Random lines built from the pieces the formats care about.
std::string RandomLine(std::mt19937& rng) {
  static const char* const kParts[] = {"=",           " ",
                                       "\t",          "\r",
                                       "-",           "+",
                                       "1",           "42",
                                       "007",         "mchiman",
                                       "\"",          "name=",
                                       "name=\"",     "x",
                                       "hidden",      "<input",
                                       "type=",       "value",
                                       "=\"",         "ab cd",
                                       "<ht",         "ml>",
                                       "<html>",      "Zephyrcastle",
                                       " NG",         "Zephyrcastle NG",
                                       "\xe3\x81\x82"};
  std::uniform_int_distribution<size_t> part(0, sizeof kParts / sizeof kParts[0] - 1);
  std::uniform_int_distribution<int> count(0, 14);
  std::string line;
  for (int i = count(rng); i > 0; --i) line += kParts[part(rng)];
  return line;
}

// Lines shaped like the login page's hidden input tags, each part sometimes broken.
std::string RandomTag(std::mt19937& rng) {
  auto pick = [&rng](std::initializer_list<const char*> options) {
    std::uniform_int_distribution<size_t> i(0, options.size() - 1);
    return std::string(*(options.begin() + i(rng)));
  };
  return pick({"", " ", "\t "}) + pick({"<input", "<INPUT", ""}) + pick({" ", "", "  "}) +
         pick({"type=\"hidden\"", "type=hidden", "x"}) + pick({" ", "", "\t"}) +
         pick({"name=\"", "name=", "name =\"", ""}) + pick({"authTime", "authMD5in", "", "a b"}) +
         pick({"\"", "", "\"\""}) + pick({" value", " id=\"q\" value", "", " v"}) +
         pick({"=\"", "=", "\"", ""}) + pick({"12345", "", "ab cd", "x=y"}) +
         pick({"\"", "", "\">", "\" hidden"}) + pick({"", ">", " />", "\r"});
}

// Feeds `line` to `scan` in random pieces, empty ones included.
template <typename Scan>
void FeedInPieces(Scan& scan, const std::string& line, std::mt19937& rng) {
  size_t pos = 0;
  while (pos < line.size()) {
    const size_t n = std::uniform_int_distribution<size_t>(0, line.size() - pos)(rng);
    scan.Feed(line.data() + pos, n);
    pos += n;
  }
}

TEST(AnswerScan, AgreesWithTheCLibraryOnRandomLinesInRandomPieces) {
  std::mt19937 rng(20261210);
  for (int i = 0; i < 20000; ++i) {
    const std::string line = i % 2 == 0 ? RandomLine(rng) : RandomTag(rng);
    SCOPED_TRACE("line: [" + line + "]");
    {
      char key[256];
      int number = 0;
      const bool expected =
          std::sscanf(line.c_str(), "%255[^=]=%d", key, &number) == 2 && line.find('=') < 256;
      answer::KeyNumberScan scan;
      FeedInPieces(scan, line, rng);
      std::string got_key;
      int32_t got = 0;
      ASSERT_EQ(scan.Finish(got_key, got), expected);
      if (expected) {
        EXPECT_EQ(got_key, key);
        EXPECT_EQ(got, number);
      }
    }
    {
      char key[256];
      char value[256];
      const bool expected = std::sscanf(line.c_str(), "%255[^=]=%255s", key, value) == 2;
      answer::KeyWordScan scan;
      FeedInPieces(scan, line, rng);
      std::string got_key;
      std::string got_value;
      ASSERT_EQ(scan.Finish(got_key, got_value), expected);
      if (expected) {
        EXPECT_EQ(got_key, key);
        EXPECT_EQ(got_value, value);
      }
    }
    {
      char name[256];
      char value[256];
      const bool expected = std::sscanf(line.c_str(), "%*s %*s name=\"%255[^\"] %*[^=]=\"%255[^\"]",
                                        name, value) == 2;
      answer::HiddenFieldScan scan;
      FeedInPieces(scan, line, rng);
      std::string got_name;
      std::string got_value;
      ASSERT_EQ(scan.Finish(got_name, got_value), expected);
      if (expected) {
        EXPECT_EQ(got_name, name);
        EXPECT_EQ(got_value, value);
      }
    }
    for (const char* marker : {"<html>", "Zephyrcastle NG", "hidden"}) {
      answer::MarkerScan scan(marker);
      FeedInPieces(scan, line, rng);
      EXPECT_EQ(scan.found(), line.find(marker) != std::string::npos) << marker;
    }
  }
}

// Lines far longer than the reading buffer, markers and numbers at their far end and across
// the buffer's edges: the same results as for short lines.
TEST(AnswerScan, LinesLongerThanAnyBufferReadAsShortOnes) {
  const auto dir =
      std::filesystem::temp_directory_path() /
      ("tarn-scan-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  const auto data = dir / "data.csv";
  CHttpHelper helper(0);
  helper.m_strDumpPath = (dir / "htmlDump.htm").string();
  for (size_t edge : {size_t{65536}, size_t{3 * 65536 + 7}}) {
    for (size_t offset = 0; offset < 16; offset += 5) {
      const std::string before(edge - offset, 'a');
      std::ofstream(data, std::ios::binary)
          << "<html>\n"
          << before << "Zephyrcastle NG" << std::string(9, 'b') << "\nshort";
      EXPECT_EQ(helper.CheckAnswerFile(data.string()), 95) << edge << "+" << offset;
      std::ofstream(data, std::ios::binary) << "x\n"
                                            << before << "<html>"
                                            << "\nshort";
      EXPECT_EQ(helper.CheckAnswerFile(data.string()), 96) << edge << "+" << offset;
    }
  }
  std::ofstream(helper.m_strDumpPath, std::ios::binary)
      << "mchiman=" << std::string(300000, ' ') << "7tail\nauthcpy=" << std::string(200000, '9')
      << "\n"
      << std::string(70000, 'k') << "=1\n";
  ASSERT_EQ(helper.ParseStatusFile(), 0);
  EXPECT_EQ(helper.m_nMchiman, 7);
  EXPECT_EQ(helper.m_nAuthCpy, INT32_MAX);
  std::ofstream(helper.m_strDumpPath, std::ios::binary)
      << "user=" << std::string(100000, ' ') << "ADMIN\ntarget= LOG" << std::string(100000, ' ')
      << "ADMIN\n";
  ASSERT_EQ(helper.ParseRightsFile(), 0);
  EXPECT_EQ(helper.m_bUserIsAdmin, 1);
  EXPECT_EQ(helper.m_bLogRight, 1);
  EXPECT_EQ(helper.m_bAdminRight, 0) << "the value ends at the first blank";
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tarn::web
