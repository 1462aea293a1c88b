// Command families of the command-line host; each adds its subcommands to the app.
#pragma once

#include <CLI/CLI.hpp>

namespace tarn::host {

// Each subcommand's callback stores the process exit status in `exit_code`.
void AddWebCommands(CLI::App& app, int& exit_code);
void AddCardCommands(CLI::App& app, int& exit_code);

}  // namespace tarn::host
