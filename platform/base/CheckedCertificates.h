// Certificate encodings known to pass OpenSSL's reader. The providers keep a
// certificate in a container only after OpenSSL read it, as the stores do with
// their records; when such a certificate is read back and a context is made of
// the same bytes, the context need not have OpenSSL read them again (the
// largest part of its cost when containers are listed).
#pragma once

#include <cstddef>

#include "win/wintypes.h"

namespace tessaro {

// Remembers the encoding among the last few read back from a provider's own
// records.
void NoteCheckedCertificate(const BYTE* pb, size_t cb);
// True when exactly these bytes are among them.
bool IsCheckedCertificate(const BYTE* pb, size_t cb);

}  // namespace tessaro
