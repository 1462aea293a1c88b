// Command families of the command-line host; each adds its subcommands to the app.
#pragma once

#include <CLI/CLI.hpp>

namespace tarn::host {

// The whole host: parses the command line (arguments in UTF-8) and returns the exit status. The
// platform file's entry point calls it.
int RunHost(int argc, char** argv);

// Each subcommand's callback stores the process exit status in `exit_code`.
void AddWebCommands(CLI::App& app, int& exit_code);
void AddCardCommands(CLI::App& app, int& exit_code);
// tarn doctor; reads the app's --direct flag.
void AddDoctorCommand(CLI::App& app, int& exit_code);

}  // namespace tarn::host
