// Where the running executable lives: the Runner finds its programs beside itself.
#pragma once

#include <string>

namespace runner {

// The directory of this process's executable; empty when it cannot be found.
std::string executable_dir();

}  // namespace runner
