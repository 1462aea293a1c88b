// The Windows dialog, its template and the message boxes, run under Wine on an Xvfb screen of
// their own by the Windows probe program: the texts as a user reads them off the real windows,
// the host program's window disabled while they show, and pictures of the dialog.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "process_probe.h"
#include "sim_process.h"

extern char** environ;

namespace {

using tarn::test::PngSize;

using tarn::test::SimProcess;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Runs a command to its end; `timeout` bounds it.
int RunCommand(std::vector<std::string> argv, int seconds = 60) {
  argv.insert(argv.begin(), {"timeout", std::to_string(seconds)});
  std::vector<char*> args;
  for (auto& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// What the probe reported, by key, and the pictures it asked for.
struct ProbeRun {
  std::map<std::string, std::string> values;
  std::vector<std::string> shots;
  bool ended = false;

  std::string operator[](const std::string& key) const {
    auto it = values.find(key);
    return it != values.end() ? it->second : "<missing " + key + ">";
  }
};

// The Windows side's system code page follows the Unix locale Wine runs in.
enum class Locale {
  kWestern,   // C.UTF-8: ANSI code page 1252
  kJapanese,  // ja_JP.UTF-8: ANSI code page 932
};

class WineDialogTest : public testing::Test {
 protected:
  void SetUp() override {
    wine_ = Env("TARN_WINE");
    prefix_ = Env("WINEPREFIX");
    const std::string tree = Env("TARN_WINDOWS_BUILD_DIR");
    if (wine_.empty() || prefix_.empty() || tree.empty()) {
      GTEST_SKIP() << "needs TARN_WINE, WINEPREFIX and TARN_WINDOWS_BUILD_DIR";
    }
    probe_ = tree + "/" + TARN_WIN_DIALOG_PROBE;
    ASSERT_EQ(access(probe_.c_str(), R_OK), 0) << probe_;
    ::mkdir(TARN_DIALOG_WINE_DIR, 0755);
    ASSERT_NO_FATAL_FAILURE(MapFonts());
  }

  // Its own screen, so runs in parallel do not find each other's windows.
  void StartScreen() {
    xvfb_ = std::make_unique<SimProcess>(
        std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24",
                                 "-nolisten", "tcp"},
        std::chrono::seconds(30));
    display_ = ":" + xvfb_->first_line();
  }

  // The template's face and the Japanese locale's interface face are not installed, and the
  // face of Wine's message boxes has no Japanese: without stand-ins every Japanese character
  // is drawn as a box. Wine draws captions itself only when it does not leave the frame to a
  // window manager, and Xvfb has none.
  void MapFonts() {
    const std::string done = prefix_ + "/tarn-dialog-fonts";
    if (access(done.c_str(), F_OK) == 0) return;
    const std::string replacements = "HKCU\\Software\\Wine\\Fonts\\Replacements";
    const std::vector<std::vector<std::string>> keys = {
        {replacements, "ＭＳ Ｐゴシック", "REG_SZ", "IPAPGothic"},
        {replacements, "MS UI Gothic", "REG_SZ", "IPAPGothic"},
        {"HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink", "Tahoma",
         "REG_MULTI_SZ", "ipagp.ttf,IPAPGothic"},
        {"HKCU\\Software\\Wine\\X11 Driver", "Managed", "REG_SZ", "N"},
    };
    for (const auto& key : keys) {
      // Wine reads the value names from the command line in the locale's character set.
      ASSERT_EQ(RunCommand({"env", "LANG=C.UTF-8", "LC_ALL=C.UTF-8", wine_, "reg", "add", key[0],
                            "/v", key[1], "/t", key[2], "/d", key[3], "/f"}),
                0)
          << key[0] << " " << key[1];
    }
    std::ofstream(done) << "mapped\n";
  }

  // A glibc locale of our own, so Wine can run with the Japanese code page on a machine that
  // has not generated it.
  std::string JapaneseLocaleDir() {
    const std::string dir = std::string(TARN_DIALOG_WINE_DIR) + "/locale";
    const std::string locale = dir + "/ja_JP.UTF-8";
    if (access((locale + "/LC_CTYPE").c_str(), F_OK) != 0) {
      ::mkdir(dir.c_str(), 0755);
      // Made aside and moved in whole: cases running in parallel may make it at once.
      const std::string aside = locale + "." + std::to_string(getpid());
      EXPECT_EQ(RunCommand({"localedef", "-i", "ja_JP", "-f", "UTF-8", aside}), 0)
          << "localedef needs Debian's locales package";
      if (std::rename(aside.c_str(), locale.c_str()) != 0) RunCommand({"rm", "-rf", aside});
    }
    return dir;
  }

  // Runs the probe; answers its picture requests with a crop of the screen, saved under the
  // name the probe gives followed by `tag`.
  ProbeRun RunProbe(const std::vector<std::string>& args, Locale locale, bool with_display = true,
                    const std::string& tag = "") {
    std::vector<std::string> argv = {"env", "-u", "LC_ALL", "-u", "DISPLAY"};
    if (with_display) argv.push_back("DISPLAY=" + display_);
    if (locale == Locale::kJapanese) {
      argv.push_back("LOCPATH=" + JapaneseLocaleDir());
      argv.push_back("LANG=ja_JP.UTF-8");
    } else {
      argv.push_back("LANG=C.UTF-8");
    }
    argv.push_back(wine_);
    argv.push_back(probe_);
    argv.insert(argv.end(), args.begin(), args.end());

    ProbeRun run;
    std::unique_ptr<SimProcess> probe;
    try {
      probe = std::make_unique<SimProcess>(argv, std::chrono::seconds(60));
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
      return run;
    }
    std::string line = probe->first_line();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    for (;;) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::istringstream words(line);
      std::string kind;
      std::string key;
      words >> kind >> key;
      // Wine's own lines (such as a dump of its server's objects) are not ours.
      if (kind == "probe") {
        std::string value;
        words >> value;
        run.values[key] = FromHex(value);
        if (key == "error") ADD_FAILURE() << "probe: " << run.values[key];
        if (key == "end" || key == "error") {
          run.ended = key == "end";
          break;
        }
      } else if (kind == "shot") {
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
        words >> x >> y >> width >> height;
        const std::string path = std::string(TARN_DIALOG_WINE_DIR) + "/" + key + tag + ".png";
        const std::string crop = std::to_string(width) + "x" + std::to_string(height) + "+" +
                                 std::to_string(x) + "+" + std::to_string(y);
        EXPECT_EQ(RunCommand({"import", "-display", display_, "-window", "root", "-crop", crop,
                              "+repage", path}),
                  0);
        EXPECT_EQ(PngSize(path), std::make_pair(uint32_t(width), uint32_t(height))) << path;
        run.shots.push_back(path);
        probe->WriteLine("taken");
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !probe->ReadLine(line, left)) break;
    }
    EXPECT_TRUE(run.ended) << "the probe did not finish";
    return run;
  }

  std::string wine_;
  std::string prefix_;
  std::string probe_;
  std::unique_ptr<SimProcess> xvfb_;
  std::string display_;
};

// The template's styles by name.
constexpr uint32_t kWsPopup = 0x80000000;
constexpr uint32_t kWsChild = 0x40000000;
constexpr uint32_t kWsVisible = 0x10000000;
constexpr uint32_t kWsCaption = 0x00C00000;
constexpr uint32_t kWsSysMenu = 0x00080000;
constexpr uint32_t kWsGroup = 0x00020000;
constexpr uint32_t kWsTabStop = 0x00010000;
constexpr uint32_t kDsModalFrame = 0x80;
constexpr uint32_t kDsSetFont = 0x40;
constexpr uint32_t kSsCenter = 0x1;

std::string Styles(uint32_t style) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", style);
  return text;
}

TEST_F(WineDialogTest, TemplateIsTheLibrarysOwnAndExactlyAsLaidOut) {
  const ProbeRun run = RunProbe({"template"}, Locale::kWestern, /*with_display=*/false);
  // The program that shows the dialog has none of its own: the library's module is used.
  EXPECT_EQ(run["template.in.program"], "absent");
  EXPECT_EQ(run["template.languages"], "1041");
  EXPECT_EQ(run["template.dialog"],
            "style=" + Styles(kWsPopup | kWsCaption | kWsSysMenu | kDsModalFrame | kDsSetFont) +
                " exstyle=0x00000000 at=0,0 size=187x89 menu= class= caption=ﾀﾞｲｱﾛｸﾞ"
                " font=9,ＭＳ Ｐゴシック");
  const std::string statics = Styles(kWsChild | kWsVisible | kWsGroup | kSsCenter);
  // Class #128 is the button, #130 the static.
  const std::string items[] = {
      "id=2 class=#128 text=ｷｬﾝｾﾙ at=72,68 size=50x14 style=" +
          Styles(kWsChild | kWsVisible | kWsTabStop) + " exstyle=0x00000000",
      "id=-1 class=#130 text=10秒以内にカードをタッチしてください at=40,7 size=107x8 style=" +
          statics + " exstyle=0x00000000",
      "id=5000 class=#130 text= at=40,26 size=107x8 style=" + statics + " exstyle=0x00000000",
      "id=5001 class=#130 text= at=40,48 size=107x8 style=" + statics + " exstyle=0x00000000",
  };
  for (size_t n = 0; n < std::size(items); ++n) {
    EXPECT_EQ(run["template.item." + std::to_string(n)], items[n]);
  }
  EXPECT_EQ(run.values.count("template.item.4"), 0u);
}

// The texts the dialog shows, read back from its windows; the host's window is disabled while
// it shows, since the dialog is owned by it.
void ExpectDialogShown(const ProbeRun& run, const std::string& title) {
  EXPECT_EQ(run["host.active"], "1");
  EXPECT_EQ(run["title.lossless"], "1") << "the title must fit the code page of the case";
  EXPECT_EQ(run["dialog.class"], "#32770");
  EXPECT_EQ(run["dialog.title"], title);
  EXPECT_EQ(run["dialog.owner"], "host");
  EXPECT_EQ(run["host.enabled.during"], "0");
  EXPECT_EQ(run["control.0"], "2 Button ｷｬﾝｾﾙ");
  EXPECT_EQ(run["control.1"], "-1 Static 10秒以内にカードをタッチしてください");
  EXPECT_EQ(run["control.2"], "5000 Static ");
  EXPECT_EQ(run["control.3"], "5001 Static 9[s]");
  EXPECT_EQ(run.values.count("control.4"), 0u);
  // Empty until the first tick (when the probe saw the dialog in time), then "9[s]".
  if (run["countdown.0"] == "") {
    EXPECT_EQ(run["countdown.1"], "9[s]");
  } else {
    EXPECT_EQ(run["countdown.0"], "9[s]");
  }
  EXPECT_EQ(run["dialog.result"], "1");
  EXPECT_EQ(run["host.enabled.after"], "1");
  EXPECT_EQ(run["posted.after.end"], "ok");
}

std::string HexOf(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

TEST_F(WineDialogTest, CountsDownShowsThePostedIdentifierAndTakesTheCancelButton) {
  StartScreen();
  const ProbeRun run = RunProbe({"dialog", HexOf("IcCardReader")}, Locale::kJapanese);
  ExpectDialogShown(run, "IcCardReader");
  EXPECT_EQ(run["acp"], "932");
  EXPECT_EQ(run["identifier"], "04a1b2c3d4e5f6");
  ASSERT_EQ(run.shots.size(), 2u);
  EXPECT_EQ(run.shots[0], std::string(TARN_DIALOG_WINE_DIR) + "/countdown.png");
  EXPECT_EQ(run.shots[1], std::string(TARN_DIALOG_WINE_DIR) + "/identifier.png");
}

struct TitleCase {
  const char* name;
  const char* title;  // UTF-8; the probe hands it over in the case's ANSI code page
  Locale locale;
  const char* code_page;
};

void PrintTo(const TitleCase& c, std::ostream* os) {
  *os << c.name;
}

class WineDialogTitleTest : public WineDialogTest, public testing::WithParamInterface<TitleCase> {};

TEST_P(WineDialogTitleTest, TitleIsShownUnchangedAndPostedCancelEnds) {
  const TitleCase& c = GetParam();
  StartScreen();
  const ProbeRun run = RunProbe({"cancel", HexOf(c.title)}, c.locale);
  EXPECT_EQ(run["acp"], c.code_page);
  ExpectDialogShown(run, c.title);
}

INSTANTIATE_TEST_SUITE_P(
    Dialog, WineDialogTitleTest,
    testing::Values(TitleCase{"AsciiTitle", "IcCardReader", Locale::kWestern, "1252"},
                    TitleCase{"WesternTitle", "Café [scan] ", Locale::kWestern, "1252"},
                    TitleCase{"JapaneseTitle", "社員証 [scan] ", Locale::kJapanese, "932"}),
    [](const testing::TestParamInfo<TitleCase>& param_info) { return param_info.param.name; });

void PrintTo(Locale locale, std::ostream* os) {
  *os << (locale == Locale::kWestern ? "Western" : "Japanese");
}

class WineMessageBoxTest : public WineDialogTest, public testing::WithParamInterface<Locale> {};

// Wide texts: the same on every code page.
TEST_P(WineMessageBoxTest, BothTextsWithOkAndExclamationOwnedByTheActiveWindow) {
  StartScreen();
  const bool western = GetParam() == Locale::kWestern;
  const ProbeRun run = RunProbe({"messages"}, GetParam(), true, western ? "-1252" : "-932");
  EXPECT_EQ(run["host.active"], "1");
  const std::string texts[] = {"カードリーダーが接続されていません。",
                               "例外が発生しました。Error(-70)",
                               "カードリーダーが接続されていません。"};
  for (int n = 0; n < 3; ++n) {
    SCOPED_TRACE(n);
    const std::string key = "box." + std::to_string(n) + ".";
    EXPECT_EQ(run[key + "caption"], "TarnIccr");
    EXPECT_EQ(run[key + "text"], texts[n]);
    EXPECT_EQ(run[key + "icon"], "exclamation");
    EXPECT_EQ(run[key + "buttons"], "1:OK");
  }
  EXPECT_EQ(run["box.0.owner"], "host");
  EXPECT_EQ(run["box.0.host.enabled.during"], "0");
  EXPECT_EQ(run["box.1.owner"], "host");
  EXPECT_EQ(run["box.1.host.enabled.during"], "0");
  EXPECT_EQ(run["host.enabled.after"], "1");
  // The last one came with no window of the program active.
  EXPECT_EQ(run["box.2.owner"], "none");
  ASSERT_EQ(run.shots.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Messages, WineMessageBoxTest,
                         testing::Values(Locale::kWestern, Locale::kJapanese),
                         [](const testing::TestParamInfo<Locale>& param_info) {
                           return testing::PrintToString(param_info.param);
                         });

// With no screen to show them on, neither waits for a user: the dialog reports that it could
// not be created, which the export turns into its result 1.
TEST_F(WineDialogTest, WithoutDisplayDialogFailsAndMessageReturns) {
  const ProbeRun run = RunProbe({"headless"}, Locale::kWestern, /*with_display=*/false);
  EXPECT_EQ(run["dialog.result"], "-1");
  EXPECT_EQ(run["message"], "returned");
}

}  // namespace
