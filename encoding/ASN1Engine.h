// A small BER/DER reader: the element at offset 0 of a memory buffer and
// everything nested in it become a tree of nodes that record where each
// element's content lies. Content is never copied; the input buffer must stay
// alive and unchanged while the tree is used.
#pragma once

#include <memory>
#include <vector>

#include "win/windows.h"

// Result of DecodeASN1Memory when the first element cannot be read; it
// normalises to KEVO_E_ASN1_DECODE ("ASN1 decode failed.").
#define ASN1_DECODE_FAILED 0x20001041L
// Result of a failure below the root.
#define ASN1_PARSE_FAILED (-1L)
// At most this many nodes (root included) per parse.
#define ASN1_MAX_NODES 255

class CASN1Node {
public:
    CASN1Node(const BYTE* pbBuffer, DWORD cbBuffer, CASN1Node* pParent);
    virtual ~CASN1Node();
    CASN1Node(const CASN1Node&) = delete;
    CASN1Node& operator=(const CASN1Node&) = delete;

    // Identifier octet as found (class, constructed bit and tag number).
    BYTE GetTag() const { return m_byTag; }
    // 1 for the short and indefinite forms, 1 + n for the long form.
    DWORD GetLengthOctetCount() const { return m_dwLengthOctetCount; }
    // Content octets; for a resolved indefinite length this includes the two
    // end-of-contents octets.
    DWORD GetValueLength() const { return m_dwValueLength; }
    // Offset of the first content octet from the start of the buffer.
    ULONGLONG GetValueOffset() const { return m_ullValueOffset; }
    // Tag octet + length octets + content.
    DWORD GetTotalLength() const { return m_dwTotalLength; }
    // True while an indefinite length is unresolved (only on a failed parse).
    bool IsIndefinite() const { return m_wIndefinite != 0; }
    DWORD GetBufferSize() const { return m_cbBuffer; }
    const BYTE* GetBuffer() const { return m_pbBuffer; }
    // The content octets inside the caller's buffer (GetValueLength() of them).
    const BYTE* GetValue() const { return m_pbBuffer + m_ullValueOffset; }
    CASN1Node* GetParent() const { return m_pParent; }
    DWORD GetChildCount() const { return static_cast<DWORD>(m_vecChildren.size()); }
    // Null for an index out of range.
    CASN1Node* GetChild(DWORD dwIndex) const;

private:
    friend class CASN1Parser;

    const BYTE* m_pbBuffer;
    BYTE m_byTag = 0;
    DWORD m_dwLengthOctetCount = 0;
    DWORD m_dwValueLength = 0;
    ULONGLONG m_ullValueOffset = 0;
    DWORD m_dwTotalLength = 0;
    WORD m_wIndefinite = 0;
    DWORD m_cbBuffer;
    CASN1Node* m_pParent;
    std::vector<std::unique_ptr<CASN1Node>> m_vecChildren;
};

// Parses the element at offset 0 of pbBuffer. Returns 0 with *ppRoot set on
// success; ASN1_DECODE_FAILED with *ppRoot null when the first element is
// unreadable; ASN1_PARSE_FAILED (-1) on a failure further down, with *ppRoot
// set to the partly built tree, which the caller still deletes. Callers treat
// any non-zero result as failure.
LONG DecodeASN1Memory(CASN1Node** ppRoot, const BYTE* pbBuffer, DWORD cbBuffer);
