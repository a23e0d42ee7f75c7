// Umbrella header: the Windows services the system calls, as this platform
// layer provides them.
#pragma once

#include "win/wintypes.h"
#include "win/winerror.h"
#if __has_include("win/winbase.h")
#include "win/winbase.h"
#endif
#if __has_include("win/winreg.h")
#include "win/winreg.h"
#endif
#if __has_include("win/objbase.h")
#include "win/objbase.h"
#endif
#if __has_include("win/evntrace.h")
#include "win/evntrace.h"
#endif
#if __has_include("win/wincrypt.h")
#include "win/wincrypt.h"
#endif
