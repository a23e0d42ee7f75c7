// The PKCS#11 2.40 interface as Debian's p11-kit declares it, with the
// platform conventions p11-kit's header leaves to its user.
#pragma once

#include <p11-kit/pkcs11.h>
