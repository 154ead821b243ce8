// The build identifier printed by --version and in the help epilog; the
// definition is generated at build time (git revision when there is one).
#pragma once

namespace cli {
extern const char* const build_id;
}
