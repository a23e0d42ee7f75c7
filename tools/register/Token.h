// The token subcommand of tessaro-register (see Token.cpp).
#pragma once

// argv[0] is the verb (add, remove, list). Exit codes: 0 done, 1 refused or
// failed, 2 usage.
int TokenCommand(int argc, char** argv);
