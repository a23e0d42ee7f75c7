// Subject text (CN=...,OU=...,C=CN) to the DER X.501 Name of a request. Plain
// syntax: every comma separates, no quoting, one attribute per RDN, RDNs in
// reverse order of the text.
#pragma once

#include <string>
#include <vector>

#include "win/windows.h"

// One attribute: dotted object identifier (empty for an unknown name) and the
// value as written.
struct SUBJECT_PAIR {
    std::string strObjId;
    std::u16string wstrValue;
};

// The DER Name as a new array allocation (delete[]), or a failure code:
// NTE_BAD_DATA for a malformed pair, E_FAIL for an empty value, the encoder's
// failure for an unknown attribute name.
HRESULT ComposeSubject(LPCWSTR pwszSubject, BYTE** ppbName, int* pnNameLength);

// The ordered pairs of the subject text; NTE_BAD_DATA unless every piece
// between commas has exactly one equals sign.
HRESULT ParseSubject(const std::u16string& wstrSubject, std::vector<SUBJECT_PAIR>& vecPairs);

// Pieces of wstrText between separators, empty pieces included; an empty text
// gives no pieces.
std::vector<std::u16string> SplidWstr(const std::u16string& wstrText, WCHAR wchSeparator);

// wstrText with every wch removed.
std::u16string ReplaceWchar(const std::u16string& wstrText, WCHAR wch);

// Dotted identifier of an attribute name (case ignored), or empty text.
std::string GetObjectID(const std::u16string& wstrName);

// One RDN: SET { SEQUENCE { OBJECT IDENTIFIER, string } }.
HRESULT ComposeSubjectChild(const SUBJECT_PAIR& pair, BYTE** ppbRDN, int* pnRDNLength);
