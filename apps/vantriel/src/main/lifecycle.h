// Start-up: a second start hands over to the running host; otherwise the data folder is
// made ready and the host runs until it exits.
#ifndef VANTRIEL_MAIN_LIFECYCLE_H_
#define VANTRIEL_MAIN_LIFECYCLE_H_

#include "main/command_line.h"

namespace vantriel {

int run_host(const CommandLine& command_line);

}  // namespace vantriel

#endif  // VANTRIEL_MAIN_LIFECYCLE_H_
