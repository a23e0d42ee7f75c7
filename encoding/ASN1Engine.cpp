// BER/DER reader. Every offset and length is computed in 64-bit arithmetic and
// checked against the buffer, so no input can make a node point outside it.
#include "encoding/ASN1Engine.h"

#include <cstdio>
#include <string>

#include "diag/Diagnostics.h"
#include "diag/ResultCode.h"

#define TRACE_UNIT_W u"ASN1Engine"

namespace {

const DWORD ASN1_LENGTH_UNKNOWN = 0xFFFFFFFFu;

// One identifier octet and its length, as read by ParseASN1TLV.
struct ASN1_TLV {
    BYTE byTag = 0;
    DWORD dwLengthOctetCount = 0;
    ULONGLONG ullValueLength = 0;  // ASN1_LENGTH_UNKNOWN when indefinite
    ULONGLONG ullValueOffset = 0;
    bool bIndefinite = false;
};

std::u16string Widen(const char* psz) {
    std::u16string w;
    while (*psz) w.push_back(static_cast<char16_t>(static_cast<unsigned char>(*psz++)));
    return w;
}

// Universal and context-specific primitive tags 0..15 hold no nested elements.
bool IsLeafTag(BYTE byTag) { return byTag <= 0x1F || (byTag >= 0x80 && byTag <= 0x8F); }

}  // namespace

CASN1Node::CASN1Node(const BYTE* pbBuffer, DWORD cbBuffer, CASN1Node* pParent)
    : m_pbBuffer(pbBuffer), m_cbBuffer(cbBuffer), m_pParent(pParent) {}

CASN1Node::~CASN1Node() = default;

CASN1Node* CASN1Node::GetChild(DWORD dwIndex) const {
    if (dwIndex >= m_vecChildren.size()) return nullptr;
    return m_vecChildren[dwIndex].get();
}

class CASN1Parser {
public:
    CASN1Parser(const BYTE* pbBuffer, DWORD cbBuffer) : m_pbBuffer(pbBuffer), m_cbBuffer(cbBuffer) {}

    // Reads the identifier and length octets at ullPos; both must lie below
    // ullLimit (exclusive), and long-form length octets inside the buffer.
    LONG ParseASN1TLV(ULONGLONG ullPos, ULONGLONG ullLimit, ASN1_TLV& tlv) const {
        if (ullLimit > m_cbBuffer) ullLimit = m_cbBuffer;
        if (ullPos >= ullLimit) {
            KEVO_FAIL_W(u"ParseASN1TLV", u"Check position", u"position >= limit", ASN1_PARSE_FAILED);
            return ASN1_PARSE_FAILED;
        }
        tlv.byTag = m_pbBuffer[ullPos];
        return GetASN1ValueLength(ullPos + 1, ullLimit, tlv);
    }

    LONG GetASN1ValueLength(ULONGLONG ullPos, ULONGLONG ullLimit, ASN1_TLV& tlv) const {
        if (ullPos >= ullLimit) {
            KEVO_FAIL_W(u"GetASN1ValueLength", u"Check position", u"length position >= limit", ASN1_PARSE_FAILED);
            return ASN1_PARSE_FAILED;
        }
        BYTE byFirst = m_pbBuffer[ullPos];
        if (byFirst < 0x80) {
            tlv.ullValueLength = byFirst;
            tlv.dwLengthOctetCount = 1;
            tlv.bIndefinite = false;
        } else if (byFirst == 0x80) {
            tlv.ullValueLength = ASN1_LENGTH_UNKNOWN;
            tlv.dwLengthOctetCount = 1;
            tlv.bIndefinite = true;
        } else {
            DWORD n = byFirst & 0x7Fu;
            if (ullPos + 1 + n > m_cbBuffer) {
                KEVO_FAIL_W(u"GetASN1ValueLength", u"Check length octets", u"length octets beyond buffer",
                            ASN1_PARSE_FAILED);
                return ASN1_PARSE_FAILED;
            }
            ULONGLONG ullLength = 0;
            for (DWORD i = 0; i < n; ++i) {
                ullLength = (ullLength << 8) | m_pbBuffer[ullPos + 1 + i];
                // Lengths beyond 32 bits are unreadable; shorter ones past the
                // buffer end are refused where the content is checked.
                if (ullLength > 0xFFFFFFFFull) {
                    KEVO_FAIL_W(u"GetASN1ValueLength", u"Check length", u"length beyond buffer", ASN1_PARSE_FAILED);
                    return ASN1_PARSE_FAILED;
                }
            }
            tlv.ullValueLength = ullLength;
            tlv.dwLengthOctetCount = 1 + n;
            tlv.bIndefinite = false;
        }
        tlv.ullValueOffset = ullPos + tlv.dwLengthOctetCount;
        return 0;
    }

    std::unique_ptr<CASN1Node> MakeNode(const ASN1_TLV& tlv, CASN1Node* pParent) const {
        auto node = std::make_unique<CASN1Node>(m_pbBuffer, m_cbBuffer, pParent);
        node->m_byTag = tlv.byTag;
        node->m_dwLengthOctetCount = tlv.dwLengthOctetCount;
        node->m_ullValueOffset = tlv.ullValueOffset;
        if (tlv.bIndefinite) {
            node->m_dwValueLength = ASN1_LENGTH_UNKNOWN;
            node->m_dwTotalLength = ASN1_LENGTH_UNKNOWN;
            node->m_wIndefinite = 1;
        } else {
            // Bounded by the buffer size (checked while reading the length).
            node->m_dwValueLength = static_cast<DWORD>(tlv.ullValueLength);
            ULONGLONG ullTotal = 1ull + tlv.dwLengthOctetCount + tlv.ullValueLength;
            node->m_dwTotalLength = ullTotal > 0xFFFFFFFFull ? ASN1_LENGTH_UNKNOWN : static_cast<DWORD>(ullTotal);
        }
        PrintNode(*node);
        return node;
    }

    void PrintNode(const CASN1Node& node) const {
        if (!KevoTraceEnabled(TRACE_FLAG_INFO)) return;
        char sz[128];
        std::snprintf(sz, sizeof(sz), "Tag:0x%02X, ValueLength:%u, ValueOffset:%llu", node.m_byTag,
                      node.m_dwValueLength, static_cast<unsigned long long>(node.m_ullValueOffset));
        KevoTraceStepW(u"PrintNode", Widen(sz).c_str());
    }

    // The content octets of a primitive universal node, once they are known
    // to lie inside the buffer.
    void PrintPrimitive(const CASN1Node& node) const {
        if (!KevoTraceEnabled(TRACE_FLAG_INFO) || node.m_byTag > 0x1F) return;
        DWORD cb = node.m_dwValueLength < 32 ? node.m_dwValueLength : 32;
        KevoTraceValueBytes("ASN1 primitive value", m_pbBuffer + node.m_ullValueOffset, cb);
    }

    // Scans the content for the end-of-contents octets 00 00.
    LONG GetInfiniteLength(CASN1Node& node) const {
        for (ULONGLONG p = node.m_ullValueOffset; p + 1 < m_cbBuffer; ++p) {
            if (m_pbBuffer[p] == 0 && m_pbBuffer[p + 1] == 0) {
                ULONGLONG ullValue = p + 2 - node.m_ullValueOffset;
                node.m_dwValueLength = static_cast<DWORD>(ullValue);
                node.m_dwTotalLength = static_cast<DWORD>(1ull + node.m_dwLengthOctetCount + ullValue);
                node.m_wIndefinite = 0;
                return 0;
            }
        }
        KEVO_FAIL_W(u"GetInfiniteLength", u"Scan end-of-contents", u"no end-of-contents before buffer end",
                    ASN1_PARSE_FAILED);
        return ASN1_PARSE_FAILED;
    }

    LONG ParseNode(CASN1Node& node) {
        if (++m_nNodeCount >= ASN1_MAX_NODES + 1) {
            KEVO_FAIL_W(u"ParseNode", u"Check node count", u"node count >= 256", ASN1_PARSE_FAILED);
            return ASN1_PARSE_FAILED;
        }
        if (!node.m_wIndefinite && node.m_ullValueOffset + node.m_dwValueLength > m_cbBuffer) {
            KEVO_FAIL_W(u"ParseNode", u"Check content end", u"content end > buffer size", ASN1_PARSE_FAILED);
            return ASN1_PARSE_FAILED;
        }
        if (IsLeafTag(node.m_byTag)) {
            if (node.m_wIndefinite) {
                LONG r = GetInfiniteLength(node);
                if (r != 0) return r;
            }
            PrintPrimitive(node);
            return 0;
        }
        if (!node.m_wIndefinite && node.m_dwValueLength == 0) return 0;

        // An indefinite node's children may run to the end of the buffer.
        ULONGLONG ullContentEnd =
            node.m_wIndefinite ? m_cbBuffer : node.m_ullValueOffset + node.m_dwValueLength;
        ULONGLONG ullConsumed = 0;
        for (;;) {
            if (node.m_wIndefinite) {
                ULONGLONG ullAt = node.m_ullValueOffset + ullConsumed;
                if (ullAt + 2 > m_cbBuffer) {
                    KEVO_FAIL_W(u"ParseNode", u"Check end-of-contents", u"end-of-contents beyond buffer",
                                ASN1_PARSE_FAILED);
                    return ASN1_PARSE_FAILED;
                }
                if (m_pbBuffer[ullAt] == 0 && m_pbBuffer[ullAt + 1] == 0) {
                    ULONGLONG ullValue = ullConsumed + 2;
                    node.m_dwValueLength = static_cast<DWORD>(ullValue);
                    node.m_dwTotalLength = static_cast<DWORD>(1ull + node.m_dwLengthOctetCount + ullValue);
                    node.m_wIndefinite = 0;
                    PrintNode(node);
                    return 0;
                }
            }
            ASN1_TLV tlv;
            LONG r = ParseASN1TLV(node.m_ullValueOffset + ullConsumed, ullContentEnd, tlv);
            if (r != 0) return r;
            // Most constructed elements hold a few children: skip the first regrowths.
            if (node.m_vecChildren.empty()) node.m_vecChildren.reserve(4);
            node.m_vecChildren.push_back(MakeNode(tlv, &node));
            CASN1Node& child = *node.m_vecChildren.back();
            r = ParseNode(child);
            if (r != 0) return r;
            ullConsumed += child.m_dwTotalLength;
            if (!node.m_wIndefinite && ullConsumed >= node.m_dwValueLength) return 0;
        }
    }

    int m_nNodeCount = 0;

private:
    const BYTE* m_pbBuffer;
    DWORD m_cbBuffer;
};

LONG DecodeASN1Memory(CASN1Node** ppRoot, const BYTE* pbBuffer, DWORD cbBuffer) {
    TraceHelper trace(u"DecodeASN1Memory");
    if (ppRoot == nullptr) {
        KEVO_FAIL_W(u"DecodeASN1Memory", u"Check parameters", u"ppRoot == NULL", ASN1_DECODE_FAILED);
        return ASN1_DECODE_FAILED;
    }
    *ppRoot = nullptr;
    if (pbBuffer == nullptr || cbBuffer == 0) {
        KEVO_FAIL_W(u"DecodeASN1Memory", u"Check parameters", u"pbBuffer == NULL || cbBuffer == 0",
                    ASN1_DECODE_FAILED);
        return ASN1_DECODE_FAILED;
    }
    CASN1Parser parser(pbBuffer, cbBuffer);
    ASN1_TLV tlv;
    // The identifier and the first length octet must both lie before the last byte.
    if (parser.ParseASN1TLV(0, static_cast<ULONGLONG>(cbBuffer) - 1, tlv) != 0) {
        KEVO_FAIL_W(u"DecodeASN1Memory", u"ParseASN1TLV", u"first element unreadable", ASN1_DECODE_FAILED);
        return ASN1_DECODE_FAILED;
    }
    std::unique_ptr<CASN1Node> root = parser.MakeNode(tlv, nullptr);
    LONG r = parser.ParseNode(*root);
    if (r != 0) KEVO_FAIL_W(u"DecodeASN1Memory", u"ParseNode", u"r != 0", r);
    *ppRoot = root.release();
    return r;
}
