// fnExcelStringFunc end to end against the reader simulator, on either target: in this process
// (registry file, the simulator's pseudo-terminal as the port, the headless dialog followed and
// cancelled through its observer) or TarnIccr.dll in a Windows host program under Wine
// (registry written with Wine's reg tool, the pseudo-terminal as a COM port, the real dialog
// and message boxes read off an Xvfb screen). Pictures of the real dialog land in card_read/.
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "card_target.h"
#include "dialog.h"
#include "reader_sim.h"

namespace tarn::iccr {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using test::CardCall;
using test::CardTarget;
using test::ReaderSim;
using test::Registry;

const std::string kPorts = "SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS";
const std::string kService = "SYSTEM\\CurrentControlSet\\services\\PCD_SERV\\Enum";
const std::string kInstance = "TARNCARD\\READER\\1";
// The COM port the cases link the reader to under Wine, unless a case is about the number.
constexpr int kComPort = 31;

Registry FriendlyName(const std::string& text) {
  return {{kPorts + "\\0000", "FriendlyName", "REG_SZ", text}};
}
Registry ConnectedReader(const std::string& port) {
  return FriendlyName("DENSO WAVE Active USB-COM Port (" + port + ") Connected");
}
// Only the reader service knows the port: the friendly-name walk finds no ports at all.
Registry ServiceListsReader(const std::string& port) {
  return {{kService, "Count", "REG_DWORD", "1"},
          {kService, "0", "REG_SZ", kInstance},
          {std::string(test::kCardTestEnumerator) + "\\READER\\1\\Device Parameters", "PortName",
           "REG_SZ", port}};
}

bool LowerHexOnly(const std::string& text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The countdown line's texts from its first tick to "0[s]", the last one the dialog shows.
std::vector<std::string> Ticks(const CardCall& call) {
  std::vector<std::string> ticks;
  for (const auto& t : call.texts) {
    if (t.control != kCountdownControl || (ticks.empty() && t.text.empty())) continue;
    ticks.push_back(t.text);
    if (t.text == "0[s]") break;
  }
  return ticks;
}

// The first text that `control` showed, or "<none>".
std::string FirstText(const CardCall& call, int control) {
  for (const auto& t : call.texts) {
    if (t.control == control) return t.text;
  }
  return "<none>";
}

// Indicator commands with wire mode 0x02 ("ready") after the first card poll.
int ReadyIndicatorsAfterPolling(const std::vector<test::ReaderFrameLogEntry>& log) {
  bool polling = false;
  int count = 0;
  for (const auto& entry : log) {
    if (entry.direction != "rx") continue;
    if (entry.type == 0x28 && entry.ins == 0x41) polling = true;
    if (polling && entry.type == 0x08 && entry.ins == 0x0b && entry.hex.size() >= 12 &&
        entry.hex.substr(10, 2) == "02") {
      ++count;
    }
  }
  return count;
}

class CardReadExport : public testing::Test {
 protected:
  void SetUp() override {
    try {
      target_ = test::CreateCardTarget(TARN_CARD_WORK_DIR);
    } catch (const std::exception& e) {
      FAIL() << e.what();
    }
  }

  // A reader simulator named as the connected reader (through the reader service instead
  // with `service`), on COM port `com` under Wine.
  std::unique_ptr<ReaderSim> Reader(const std::vector<std::string>& options = {},
                                    int com = kComPort, bool service = false) {
    auto sim = std::make_unique<ReaderSim>(options);
    const std::string port = target_->AttachReader(sim->device(), com);
    target_->WriteRegistry(service ? ServiceListsReader(port) : ConnectedReader(port));
    return sim;
  }

  CardCall Finish(milliseconds limit) {
    std::optional<CardCall> call = target_->Finish(limit);
    if (!call) {
      ADD_FAILURE() << "the export did not return within " << limit.count() << " ms on "
                    << target_->name();
      return CardCall{};
    }
    std::cout << "[ " << target_->name() << " ] result " << call->result << " after "
              << call->elapsed.count() << " ms\n";
    return *call;
  }

  static std::string Picture(const char* name) {
    return std::string(TARN_CARD_WORK_DIR) + "/" + name + ".png";
  }

  std::unique_ptr<CardTarget> target_;
};

struct CardCase {
  const char* name;
  const char* command;  // the simulator's card command
  const char* id;       // what the host receives
  bool pictures;        // pictures of the dialog counting and showing the identifier
};

void PrintTo(const CardCase& c, std::ostream* os) {
  *os << c.name;
}

class CardKinds : public CardReadExport, public testing::WithParamInterface<CardCase> {};

TEST_P(CardKinds, CardLaidOnWhileCountingIsReturned) {
  const CardCase& c = GetParam();
  auto sim = Reader();
  target_->Start("");
  milliseconds counting{};
  ASSERT_TRUE(target_->WaitText(kCountdownControl, "9[s]", &counting, seconds(20)));
  if (c.pictures && target_->has_windows()) {
    EXPECT_TRUE(target_->Picture(Picture("countdown")));
  }
  sim->Command(nlohmann::json::parse(c.command));
  milliseconds shown{};
  ASSERT_TRUE(target_->WaitText(kIdentifierControl, c.id, &shown, seconds(5)));
  if (c.pictures && target_->has_windows()) {
    EXPECT_TRUE(target_->Picture(Picture("identifier")));
  }
  const CardCall r = Finish(seconds(10));

  EXPECT_EQ(r.out, c.id);
  EXPECT_EQ(r.result, static_cast<int>(r.out.size()));
  EXPECT_TRUE(LowerHexOnly(r.out));
  // Shown for one to two ticks; closing adds at most one poll of the end report.
  EXPECT_GE(r.elapsed - shown, milliseconds(900));
  EXPECT_LE(r.elapsed - shown, milliseconds(2700));
  EXPECT_EQ(ReadyIndicatorsAfterPolling(sim->Log()), 1) << "only the reader's own, after the card";
  EXPECT_EQ(r.threads_left, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Export, CardKinds,
    testing::Values(
        CardCase{"TypeA7", R"({"cmd":"card","kind":"A","uid":"04A1B2C3D4E5F6"})", "04a1b2c3d4e5f6",
                 true},
        CardCase{"TypeA10", R"({"cmd":"card","kind":"A","uid":"0102030405060708090A"})",
                 "0102030405060708090a", false},
        CardCase{"TypeB", R"({"cmd":"card","kind":"B","data":"50A1B2C3D4000000000000C1F0"})",
                 "50a1b2c3d4000000000000c1f0", false},
        CardCase{
            "FeliCa",
            R"({"cmd":"card","kind":"F","idm":"0123456789ABCDEF","block":"00112233445566778899AABBCCDDEEFF"})",
            "0123456789abcdef", false}),
    [](const testing::TestParamInfo<CardCase>& param_info) { return param_info.param.name; });

struct TitleCase {
  const char* name;
  const char* title;  // UTF-8; Windows gets it in the ANSI code page (932 in these cases)
  const char* shown;
};

void PrintTo(const TitleCase& c, std::ostream* os) {
  *os << c.name;
}

class DialogTitles : public CardReadExport, public testing::WithParamInterface<TitleCase> {};

TEST_P(DialogTitles, TitleAndFixedTextsAreShown) {
  auto sim = Reader();
  target_->Start(GetParam().title);
  milliseconds counting{};
  ASSERT_TRUE(target_->WaitText(kCountdownControl, "9[s]", &counting, seconds(20)));
  ASSERT_TRUE(target_->Cancel());
  const CardCall r = Finish(seconds(5));

  EXPECT_EQ(FirstText(r, 0), GetParam().shown);
  if (target_->has_windows()) {
    EXPECT_EQ(FirstText(r, -1), "10秒以内にカードをタッチしてください");
    EXPECT_EQ(FirstText(r, IDCANCEL), "ｷｬﾝｾﾙ");
  }
  // No card: the identifier line stays empty (where it reports its first text at all).
  for (const auto& t : r.texts) {
    if (t.control == kIdentifierControl) {
      EXPECT_EQ(t.text, "");
    }
  }
  EXPECT_EQ(FirstText(r, kCountdownControl), "");
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(Export, DialogTitles,
                         testing::Values(TitleCase{"Null", nullptr, "IcCardReader"},
                                         TitleCase{"Empty", "", "IcCardReader"},
                                         TitleCase{"Ascii", "Tarn [scan]", "Tarn [scan]"},
                                         TitleCase{"Japanese", "社員証 ﾘｰﾀﾞｰ ", "社員証 ﾘｰﾀﾞｰ "}),
                         [](const testing::TestParamInfo<TitleCase>& param_info) {
                           return param_info.param.name;
                         });

TEST_F(CardReadExport, NoCardEndsAtTheEleventhTickWithReadyIndicator) {
  auto sim = Reader();
  target_->Start("");
  milliseconds first{};
  ASSERT_TRUE(target_->WaitText(kCountdownControl, "9[s]", &first, seconds(20)));
  const CardCall r = Finish(seconds(20));

  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out, "");
  const std::vector<std::string> every_second = {"9[s]", "8[s]", "7[s]", "6[s]", "5[s]",
                                                 "4[s]", "3[s]", "2[s]", "1[s]", "0[s]"};
  EXPECT_EQ(Ticks(r), every_second);
  // Ten more ticks after the first; closing adds the indicator command and a poll or two.
  EXPECT_GE(r.elapsed - first, milliseconds(9800));
  EXPECT_LE(r.elapsed - first, milliseconds(12000));
  EXPECT_GE(ReadyIndicatorsAfterPolling(sim->Log()), 1);
  EXPECT_EQ(r.threads_left, 0);
}

TEST_F(CardReadExport, CancelBeforeCardEndsAtOnceWithReadyIndicator) {
  auto sim = Reader();
  target_->Start("");
  milliseconds counting{};
  ASSERT_TRUE(target_->WaitText(kCountdownControl, "9[s]", &counting, seconds(20)));
  ASSERT_TRUE(target_->Cancel());
  const CardCall r = Finish(seconds(5));

  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Ticks(r), std::vector<std::string>{"9[s]"});
  EXPECT_LE(r.elapsed - counting, milliseconds(1500));
  EXPECT_GE(ReadyIndicatorsAfterPolling(sim->Log()), 1);
  EXPECT_EQ(r.threads_left, 0);
}

TEST_F(CardReadExport, CancelAfterCardStillReturnsIt) {
  auto sim = Reader();
  target_->Start("");
  milliseconds when{};
  ASSERT_TRUE(target_->WaitText(kCountdownControl, "9[s]", &when, seconds(20)));
  sim->Command({{"cmd", "card"}, {"kind", "A"}, {"uid", "01020304"}});
  ASSERT_TRUE(target_->WaitText(kIdentifierControl, "01020304", &when, seconds(5)));
  ASSERT_TRUE(target_->Cancel());
  const CardCall r = Finish(seconds(5));

  EXPECT_EQ(r.result, 8);
  EXPECT_EQ(r.out, "01020304");
  EXPECT_LE(r.elapsed - when, milliseconds(1500));
  // The reader sends its own after the card unless the link closes first; the dialog none.
  EXPECT_LE(ReadyIndicatorsAfterPolling(sim->Log()), 1);
  EXPECT_EQ(r.threads_left, 0);
}

TEST_F(CardReadExport, DiscoveryFailuresShowTheirMessageAndNoDialog) {
  struct Case {
    Registry registry;
    std::string message;
  };
  const Case cases[] = {
      {FriendlyName("DENSO WAVE Active USB-COM Port (COM9)"),
       "カードリーダーが接続されていません。"},
      {{}, "例外が発生しました。Error(-70)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    target_->WriteRegistry(c.registry);
    target_->Start("t");
    EXPECT_TRUE(target_->ConfirmMessage(seconds(20)));
    const CardCall r = Finish(seconds(10));
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, CardTarget::kUntouchedOut);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0].caption, "TarnIccr");
    EXPECT_EQ(r.messages[0].text, c.message);
    EXPECT_FALSE(r.shown_at.has_value());
    EXPECT_EQ(r.threads_left, 0);
  }
}

TEST_F(CardReadExport, ReaderThatNeverAnswersEndsWithinTheReadyBound) {
  auto sim = Reader({"--silent"});
  target_->Start("");
  const CardCall r = Finish(seconds(25));

  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out, "");
  // The five seconds the reader has to get ready, and closing.
  EXPECT_LE(r.elapsed, milliseconds(8000));
  EXPECT_FALSE(r.shown_at.has_value());
  EXPECT_EQ(r.threads_left, 0);
}

TEST_F(CardReadExport, ReaderGoneDuringTheReadEndsWithoutCard) {
  auto sim = Reader();
  target_->Start("");
  milliseconds first{};
  ASSERT_TRUE(target_->WaitText(kCountdownControl, "9[s]", &first, seconds(20)));
  ASSERT_TRUE(target_->WaitText(kCountdownControl, "8[s]", nullptr, seconds(5)));
  sim->Terminate();
  const CardCall r = Finish(seconds(25));

  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out, "");
  // At the latest when the countdown runs out.
  EXPECT_LE(r.elapsed - first, milliseconds(12000));
  EXPECT_EQ(r.threads_left, 0);
}

TEST_F(CardReadExport, TenCallsInARow) {
  auto sim = Reader();
  // The card lies on the reader from the start: every call reads it at its first poll.
  sim->Command({{"cmd", "card"},
                {"kind", "F"},
                {"idm", "0011223344556677"},
                {"block", "000102030405060708090a0b0c0d0e0f"}});
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    target_->Start("batch");
    const CardCall r = Finish(seconds(20));
    EXPECT_EQ(r.result, 16);
    EXPECT_EQ(r.out, "0011223344556677");
    EXPECT_EQ(r.threads_left, 0);
  }
}

// A reader that breaks down in one way, staged in the simulator before the call. Whatever it
// does, the call ends by itself, within a bound against hanging, and leaves no thread.
struct ReaderFaultCase {
  const char* name;
  const char* fault;                      // the simulator's fault command
  const char* card = nullptr;             // a card on the reader from the start
  const char* id = "";                    // what the host receives
  std::vector<std::string> options = {};  // the simulator's options besides its seed
};

void PrintTo(const ReaderFaultCase& c, std::ostream* os) {
  *os << c.name;
}

class ReaderFaults : public CardReadExport, public testing::WithParamInterface<ReaderFaultCase> {};

// Failures can be repeated: the simulator draws its bytes from this seed.
constexpr int kFaultSeed = 14;
const char kFelicaCard[] =
    R"({"cmd":"card","kind":"F","idm":"0123456789ABCDEF","block":"00112233445566778899AABBCCDDEEFF"})";

TEST_P(ReaderFaults, CallEndsInTimeWithoutThreads) {
  const ReaderFaultCase& c = GetParam();
  SCOPED_TRACE(std::string("simulator seed ") + std::to_string(kFaultSeed));
  std::vector<std::string> options = c.options;
  options.insert(options.end(), {"--seed", std::to_string(kFaultSeed)});
  auto sim = Reader(options);
  const nlohmann::json fault = nlohmann::json::parse(c.fault);
  sim->Command(fault);
  if (c.card != nullptr) sim->Command(nlohmann::json::parse(c.card));
  target_->Start("");
  // Far beyond the bound, so that an overrun is measured rather than cut off.
  const CardCall r = Finish(seconds(60));

  EXPECT_EQ(r.out, c.id);
  EXPECT_EQ(r.result, static_cast<int>(std::string(c.id).size()));
  EXPECT_LE(r.elapsed, seconds(25));
  EXPECT_EQ(r.threads_left, 0);
  // The breakdown did happen.
  const nlohmann::json state = sim->Command({{"cmd", "state"}});
  EXPECT_GE(state["fired"].value(fault["mode"].get<std::string>(), 0), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Export, ReaderFaults,
    testing::Values(
        ReaderFaultCase{"RandomBytesToEveryFrame", R"({"cmd":"fault","mode":"random","count":-1})"},
        // Up to 128 bytes: what one read leaves is the head of the next reply.
        ReaderFaultCase{"RandomBytesToEveryTypeAPoll",
                        R"({"cmd":"fault","mode":"random","ins":65,"count":-1})"},
        ReaderFaultCase{"PartialFrames", R"({"cmd":"fault","mode":"partial","count":-1})"},
        // The rest comes after the read has ended, into the next exchange.
        ReaderFaultCase{"TypeAPollRepliesInTwoPieces",
                        R"({"cmd":"fault","mode":"partial","ins":65,"count":-1,"rest_after":0.1})"},
        ReaderFaultCase{"WrongCheckBytesAtRandom",
                        R"({"cmd":"fault","mode":"bad_check","count":-1,"rate":0.3})"},
        // Past the six reader commands of the set-up: a spoilt poll lets polling go on, a
        // spoilt field or indicator command ends the session while the dialog counts.
        ReaderFaultCase{
            "WrongCheckBytesAtRandomAfterTheSetUp",
            R"({"cmd":"fault","mode":"bad_check","type":40,"skip":6,"count":-1,"rate":0.2})"},
        ReaderFaultCase{"FloodFromTheFirstFrame", R"({"cmd":"fault","mode":"flood"})"},
        ReaderFaultCase{"FloodWhilePolling", R"({"cmd":"fault","mode":"flood","ins":65})"},
        ReaderFaultCase{"UnpluggedDuringTheSetUp", R"({"cmd":"fault","mode":"unplug","ins":129})"},
        ReaderFaultCase{"UnpluggedWhilePolling", R"({"cmd":"fault","mode":"unplug","ins":65})"},
        // The block read gets no reply: the request ends without a card.
        ReaderFaultCase{"SilentFromTheWrappedCardFrame",
                        R"({"cmd":"fault","mode":"mute","type":44})", kFelicaCard},
        // A wrapped reply cut short fails the block read, which still reports the IDm.
        ReaderFaultCase{"SilentInTheMiddleOfTheWrappedReply",
                        R"({"cmd":"fault","mode":"mute","type":44,"head":true})", kFelicaCard,
                        "0123456789abcdef"},
        // The block read's reply ends the reader's numbers; the re-authentication it starts gets
        // no answer. The block was read whole, so the card is returned.
        ReaderFaultCase{"SilentInTheReauthenticationOfAWrappedExchange",
                        R"({"cmd":"fault","mode":"mute","ins":129,"skip":2})",
                        kFelicaCard,
                        "0123456789abcdef",
                        {"--sequence-start", "0xFFFF"}}),
    [](const testing::TestParamInfo<ReaderFaultCase>& param_info) {
      return param_info.param.name;
    });

struct PortCase {
  const char* name;
  int com;       // the COM number under Wine; on Linux the port is the pseudo-terminal
  bool service;  // found through the reader service rather than the friendly name
};

void PrintTo(const PortCase& c, std::ostream* os) {
  *os << c.name;
}

class CardPorts : public CardReadExport, public testing::WithParamInterface<PortCase> {};

// From COM10 up a port opens only by its device path.
TEST_P(CardPorts, PortFoundEitherWayIsRead) {
  auto sim = Reader({}, GetParam().com, GetParam().service);
  sim->Command({{"cmd", "card"}, {"kind", "A"}, {"uid", "04A1B2C3D4E5F6"}});
  target_->Start("");
  const CardCall r = Finish(seconds(20));

  EXPECT_EQ(r.result, 14);
  EXPECT_EQ(r.out, "04a1b2c3d4e5f6");
  EXPECT_TRUE(r.shown_at.has_value());
  EXPECT_EQ(r.threads_left, 0);
}

INSTANTIATE_TEST_SUITE_P(Export, CardPorts,
                         testing::Values(PortCase{"FriendlyNameCom12", 12, false},
                                         PortCase{"ServiceListCom123", 123, true}),
                         [](const testing::TestParamInfo<PortCase>& param_info) {
                           return param_info.param.name;
                         });

}  // namespace
}  // namespace tarn::iccr
