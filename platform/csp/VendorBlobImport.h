// Container side of the vendor import blobs: the token providers call these
// from ImportKey when IsVendorImportBlob() recognises the blob. Each opens the
// key material with the container's exchange key and, only when everything
// checked out, makes the new key pair the container's exchange key (its
// certificate goes with the old key). On failure nothing is changed.
#pragma once

#include "CspProvider.h"
#include "VendorBlob.h"

namespace tessaro::csp {

// SM2: the 20-byte blob (24 on 64-bit builds) with a C1C3C2 ciphertext of the
// 32-byte private key.
CspStatus ImportSm2VendorBlobToContainer(CCspProvider& provider, const ContextPtr& ctx, const BYTE* pbData,
                                         DWORD dwDataLen, DWORD dwFlags, KeyPtr* out);

// RSA: the 24-byte blob (28 on 64-bit builds) pointing at the DER envelope.
CspStatus ImportRsaVendorBlobToContainer(CCspProvider& provider, const ContextPtr& ctx, const BYTE* pbData,
                                         DWORD dwDataLen, DWORD dwFlags, KeyPtr* out);

}  // namespace tessaro::csp
