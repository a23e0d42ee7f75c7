// What the front ends (the host program and the plug-in) use besides
// CCryptoAgent: the install mode's steps and the text conversions of their
// message layers. They reach the units below through here only.
#pragma once

#include "encoding/Codec.h"
#include "store/CertificateChainDelete.h"
#include "store/CertificateChainInstall.h"
