// The host on a target whose card-reader library is not built: no card commands and no doctor.
#include "commands.h"

namespace tarn::host {

void AddCardCommands(CLI::App&, int&) {}
void AddDoctorCommand(CLI::App&, int&) {}

}  // namespace tarn::host
