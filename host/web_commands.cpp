#include "commands.h"

namespace tarn::host {

void AddWebCommands(CLI::App& /*app*/, int& /*exit_code*/) {}

}  // namespace tarn::host
