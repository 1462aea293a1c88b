// The host on a target whose card-reader library is not built: no card commands.
#include "commands.h"

namespace tarn::host {

void AddCardCommands(CLI::App&, int&) {}

}  // namespace tarn::host
