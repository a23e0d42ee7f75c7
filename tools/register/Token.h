// The token subcommand of tessaro-register (see Token.cpp).
#pragma once

#include <vector>

#include "tools/register/Modules.h"

// argv[0] is the verb (add, remove, list). Exit codes: 0 done, 1 refused or
// failed, 2 usage.
int TokenCommand(int argc, char** argv);

// The modules of the registered token providers as the browsers get them;
// empty (and no prefix made) when there is no prefix and no system hive.
std::vector<tessaro_register::ModuleEntry> TokenModules();
