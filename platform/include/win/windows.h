// Umbrella header: the Windows services the system calls, as this platform
// layer provides them.
#pragma once

#include "win/wintypes.h"
#include "win/winerror.h"
#include "win/winbase.h"
#include "win/winreg.h"
#include "win/objbase.h"
#include "win/evntrace.h"
#include "win/wincrypt.h"
