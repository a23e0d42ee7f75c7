// The machine-hive subcommand of tessaro-register (see MachineHive.cpp).
#pragma once

// No arguments. Exit codes: 0 the hive is there, whole, with the providers
// registered; 1 refused (not root, unsafe ownership or modes) or the hive is
// damaged or cannot be written; 2 usage.
int MachineHiveCommand(int argc, char** argv);
