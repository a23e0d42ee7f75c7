// The ASN.1 reader on any bytes; the tree it returns (whole or partial) is
// walked and released.
#include <cstdlib>
#include <vector>

#include "encoding/ASN1Engine.h"
#include "fuzz/FuzzSupport.h"

// Every node's content lies inside the buffer; its bytes are read so that
// AddressSanitizer sees any that do not.
static unsigned WalkNode(const CASN1Node* pNode, const std::vector<BYTE>& buf, int nDepth) {
    if (nDepth > ASN1_MAX_NODES) abort();
    if (pNode->GetBuffer() != buf.data()) abort();
    unsigned uSum = 0;
    if (!pNode->IsIndefinite()) {
        if (pNode->GetValueOffset() + pNode->GetValueLength() > buf.size()) abort();
        const BYTE* pbValue = pNode->GetValue();
        for (DWORD i = 0; i < pNode->GetValueLength(); ++i) uSum += pbValue[i];
    }
    for (DWORD i = 0; i < pNode->GetChildCount(); ++i) {
        const CASN1Node* pChild = pNode->GetChild(i);
        if (pChild == nullptr || pChild->GetParent() != pNode) abort();
        uSum += WalkNode(pChild, buf, nDepth + 1);
    }
    if (pNode->GetChild(pNode->GetChildCount()) != nullptr) abort();
    return uSum;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
    std::vector<BYTE> buf(pb, pb + cb);  // exact size: a read past it is caught
    CASN1Node* pRoot = nullptr;
    LONG lResult = DecodeASN1Memory(&pRoot, buf.data(), static_cast<DWORD>(cb));
    if (lResult == 0 && pRoot == nullptr) abort();
    if (lResult == 0) {
        volatile unsigned uSum = WalkNode(pRoot, buf, 0);
        (void)uSum;
    }
    delete pRoot;
    return 0;
}
