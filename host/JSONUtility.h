// Requests and responses of the native-messaging host as JSON: a request
// {"function", "params", "randomId"} becomes its three parts, parameters are
// read by position, and a response {"function", "errorcode", "result",
// "randomId"} is built and printed. Every buffer handed out is a new char[]
// owned by the caller (delete[]); parameter lists and response objects are
// released with cJSON_Delete.
#pragma once

#include <cjson/cJSON.h>

#include <memory>
#include <string>

#include "diag/ResultCode.h"

// Result codes of this layer (never stored in the agent).
#define JSON_E_INVALID_PARAMETER static_cast<int>(ERROR_INVALID_PARAMETER)
#define JSON_E_BAD_REQUEST (-1)                                         // unparsable, key missing or mistyped
#define JSON_E_ITEM_NOT_FOUND static_cast<int>(NTE_INTERNAL_ERROR)      // also the fallback response's code
#define JSON_E_ITEM_TYPE static_cast<int>(KEVO_OWN_CODE(0x3204))        // parameter of the wrong type
#define JSON_E_CREATE_RESPONSE static_cast<int>(KEVO_OWN_CODE(0x3202))  // response object not built

// The owner of a cJSON tree: parameter lists and response objects.
struct JSONDeleter {
    void operator()(cJSON* p) const { cJSON_Delete(p); }
};
using JSONPtr = std::unique_ptr<cJSON, JSONDeleter>;

// Kinds of "result" value for ConstructResponseJSON.
#define JSON_RESULT_FALSE 0   // one byte, boolean
#define JSON_RESULT_TRUE 1    // one byte, boolean
#define JSON_RESULT_DOUBLE 3  // a double
#define JSON_RESULT_STRING 4  // a UTF-8 NUL-terminated string
#define JSON_RESULT_INT 7     // a 32-bit signed integer

// Splits a request text. On success the function name, a deep copy of
// "params" and, when present, the "randomId" are handed over; on failure
// nothing is. Returns 0, 87 or -1.
int ParseRequestMsgToJSON(const char* pszRequestMsg, char** ppszFuncName, cJSON** ppParams, char** ppszRandomId);

// Parameter nIndex (from 0) as a string: a bare string or {"param": "..."}.
// Returns 0, 87, 0x8009002D, 0xA0073204 or -1.
int ConverJSONArrayItemtoNULLEndString(const cJSON* pJSONArray, int nIndex, char** ppszNULLEndString);

// Parameter nIndex as a 32-bit integer: a bare number or {"param": n}, the
// number truncated toward zero. Returns 0, 87, 0x8009002D or 0xA0073204.
int ConverJSONArrayItemtoint(const cJSON* pJSONArray, int nIndex, int* pnValue);

// Number of children of a parameter list; 0 for a null list.
int GetJSONArrayItemCount(const cJSON* pJSONArray);

// Builds {"function", "errorcode"[, "result"]}: "result" is false whenever
// nErrorCode is not 0, else the value pointed to by pValue (when given) by its
// kind. Returns 0, 87, 0xA0073202 or -1 (unknown kind).
int ConstructResponseJSON(const char* pszFuncName, int nErrorCode, int nResultKind, const void* pValue,
                          cJSON** ppResponseJSON);

// The response text: the object printed unformatted with "randomId" added
// when it is not empty, or, without an object, the fallback text carrying
// NTE_INTERNAL_ERROR. Always returns 0 with a text.
int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId, cJSON* pResponseJSON,
                             char** ppszResponseMsg);

// A string as JSON string content: quote, backslash and control characters
// escaped, everything else unchanged.
void AppendJSONEscaped(const char* psz, std::string& strOut);
