#include "commands.h"

namespace tarn::host {

void AddCardCommands(CLI::App& /*app*/, int& /*exit_code*/) {}

}  // namespace tarn::host
