// tarn card: reads one card through TarnIccr, as the spreadsheet macro does. Output goes through
// the standard streams, which the Windows console file points at the console.
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "commands.h"
#include "tarn/tarn_iccr.h"

namespace tarn::host {
namespace {

// Exit statuses of the card command.
constexpr int kCardRead = 0;
constexpr int kNoCard = 1;
constexpr int kNoReader = 2;
constexpr int kNoDialog = 3;

int ReadCard(const std::string& title) {
  // Larger than the longest identifier; pre-filled so an untouched buffer shows.
  char out[64];
  std::memset(out, 0x7f, sizeof out);
  const int result = fnExcelStringFunc(title.c_str(), out);
  const bool written = std::memchr(out, '\0', sizeof out) != nullptr;
  if (written && result > 0) {
    std::cout << out << "\n";
    return kCardRead;
  }
  if (written) {
    std::cerr << "tarn: no card was read\n";
    return kNoCard;
  }
  if (result == 1) {
    std::cerr << "tarn: the card dialog could not be shown\n";
    return kNoDialog;
  }
  std::cerr << "tarn: no card reader was found\n";
  return kNoReader;
}

}  // namespace

void AddCardCommands(CLI::App& app, int& exit_code) {
  auto title = std::make_shared<std::string>();
  CLI::App* card = app.add_subcommand(
      "card",
      "Read a contactless card's identifier (prints it; exit status 0 read, 1 no card, 2 no "
      "reader found, 3 dialog not shown)");
  card->add_option("--title", *title, "Dialog title (empty: IcCardReader)");
  card->callback([title, &exit_code]() { exit_code = ReadCard(*title); });
}

}  // namespace tarn::host
