#include "commands.h"

int main(int argc, char** argv) {
  CLI::App app{"tarn: calls the TarnWebCom and TarnIccr libraries as a host program does"};
  int exit_code = 0;
  tarn::host::AddWebCommands(app, exit_code);
  tarn::host::AddCardCommands(app, exit_code);
  app.require_subcommand(1);
  CLI11_PARSE(app, argc, argv);
  return exit_code;
}
