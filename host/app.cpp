// The host's command line; the platform file's entry point hands it over in UTF-8.
#include "commands.h"

namespace tarn::host {

int RunHost(int argc, char** argv) {
  CLI::App app{"tarn: calls the TarnWebCom and TarnIccr libraries as a host program does"};
  app.footer(
      "Appliance commands exit with the library's result: 0 done, 91 sign-in refused, 92 LOG "
      "right missing, 93 ADMIN right missing, 95 the appliance reported a failure, 96 a web page "
      "came instead of the data, 98 HTTP status other than 200, 99 network or file failure.\n"
      "Password: --password, else the environment variable TARN_PASSWORD, else asked on the "
      "terminal without echo; with no terminal the password is empty.");
  // Lets the global options (--direct) follow a subcommand too.
  app.fallthrough();
  // CLI11 takes "/name" for an option on Windows by default; there it is a path on the current
  // drive, and the options are the same on every platform.
  app.allow_windows_style_options(false);
  int exit_code = 0;
  AddWebCommands(app, exit_code);
  AddCardCommands(app, exit_code);
  AddDoctorCommand(app, exit_code);
  app.require_subcommand(1);
  CLI11_PARSE(app, argc, argv);
  return exit_code;
}

}  // namespace tarn::host
