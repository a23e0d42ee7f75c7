// Request parsing, parameter access and response printing with cJSON.
#include "host/JSONUtility.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "diag/Diagnostics.h"

#define TRACE_UNIT_A "JSONUtility"

namespace {

char* CopyText(const char* psz, size_t cch) {
    char* p = new (std::nothrow) char[cch + 1]();
    if (p) memcpy(p, psz, cch);
    return p;
}

char* CopyText(const char* psz) { return CopyText(psz, strlen(psz)); }

// The child at nIndex, after the count checks every accessor shares.
int GetArrayItem(const char* FUNC, const cJSON* pJSONArray, int nIndex, const cJSON** ppItem) {
    if (pJSONArray == nullptr || nIndex < 0) {
        KEVO_FAIL_A(FUNC, "Check parameter", JSON_E_INVALID_PARAMETER, "(NULL == pJSONArray || nIndex < 0)");
        return JSON_E_INVALID_PARAMETER;
    }
    int nCount = GetJSONArrayItemCount(pJSONArray);
    if (0 == nCount || nCount <= nIndex) {
        KEVO_FAIL_A(FUNC, "Check parameter", JSON_E_INVALID_PARAMETER, "(0 == nCount || nCount <= nIndex)");
        return JSON_E_INVALID_PARAMETER;
    }
    const cJSON* pJSONItem = pJSONArray->child;
    for (int i = 0; i < nIndex && pJSONItem != nullptr; ++i) pJSONItem = pJSONItem->next;
    if (pJSONItem == nullptr) {
        KEVO_FAIL_A(FUNC, "Get item", JSON_E_ITEM_NOT_FOUND, "NULL == pJSONItem");
        return JSON_E_ITEM_NOT_FOUND;
    }
    *ppItem = pJSONItem;
    return 0;
}

// A request that cannot be served as sent, traced at the line of the check.
int BadRequest(const char* pszStep, const char* pszReason, int nLine = __builtin_LINE()) {
    KevoTraceFailA(TRACE_UNIT_A, nLine, "ParseRequestMsgToJSON", pszStep, JSON_E_BAD_REQUEST, pszReason);
    return JSON_E_BAD_REQUEST;
}

}  // namespace

void AppendJSONEscaped(const char* psz, std::string& strOut) {
    static const char HEX[] = "0123456789abcdef";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(psz); *p; ++p) {
        switch (*p) {
            case '"': strOut += "\\\""; break;
            case '\\': strOut += "\\\\"; break;
            case '\b': strOut += "\\b"; break;
            case '\f': strOut += "\\f"; break;
            case '\n': strOut += "\\n"; break;
            case '\r': strOut += "\\r"; break;
            case '\t': strOut += "\\t"; break;
            default:
                if (*p < 0x20) {
                    strOut += "\\u00";
                    strOut += HEX[*p >> 4];
                    strOut += HEX[*p & 0xF];
                } else {
                    strOut += static_cast<char>(*p);
                }
        }
    }
}

int GetJSONArrayItemCount(const cJSON* pJSONArray) {
    if (pJSONArray == nullptr) return 0;
    int nCount = 0;
    for (const cJSON* p = pJSONArray->child; p != nullptr; p = p->next) ++nCount;
    return nCount;
}

int ParseRequestMsgToJSON(const char* pszRequestMsg, char** ppszFuncName, cJSON** ppParams, char** ppszRandomId) {
    const char* FUNC = "ParseRequestMsgToJSON";
    if (pszRequestMsg == nullptr || pszRequestMsg[0] == '\0' || ppszFuncName == nullptr || ppParams == nullptr ||
        ppszRandomId == nullptr) {
        KEVO_FAIL_A(FUNC, "Check parameter", JSON_E_INVALID_PARAMETER, "NULL == pszRequestMsg");
        return JSON_E_INVALID_PARAMETER;
    }
    JSONPtr pJsonRoot(cJSON_Parse(pszRequestMsg));
    if (!pJsonRoot) return BadRequest("cJSON_Parse", "NULL == pJsonRoot");
    // Key names match ignoring ASCII case; the first match wins.
    const cJSON* pFunction = cJSON_GetObjectItem(pJsonRoot.get(), "function");
    if (pFunction == nullptr) return BadRequest("cJSON_GetObjectItem(function)", "NULL == pFunction");
    const char* pszUTF8FuncName = cJSON_IsString(pFunction) ? pFunction->valuestring : nullptr;
    if (pszUTF8FuncName == nullptr) return BadRequest("cJSON_GetObjectItem(function)", "NULL == pszUTF8FuncName");
    const cJSON* pParamsArray = cJSON_GetObjectItem(pJsonRoot.get(), "params");
    if (pParamsArray == nullptr) return BadRequest("cJSON_GetObjectItem(params)", "NULL == pParamsArray");
    std::unique_ptr<char[]> pszRandomId;
    const cJSON* pRandomId = cJSON_GetObjectItem(pJsonRoot.get(), "randomId");
    if (pRandomId != nullptr) {
        const char* pszUTF8RandomId = cJSON_IsString(pRandomId) ? pRandomId->valuestring : nullptr;
        if (pszUTF8RandomId == nullptr) return BadRequest("cJSON_GetObjectItem(randomId)", "NULL == pszUTF8RandomId");
        pszRandomId.reset(CopyText(pszUTF8RandomId));
        if (!pszRandomId) return BadRequest("New memory(randomId)", "!pszRandomId");
    }
    std::unique_ptr<char[]> pszFuncName(CopyText(pszUTF8FuncName));
    if (!pszFuncName) return BadRequest("New memory(function)", "!pszFuncName");
    cJSON* pParams = cJSON_Duplicate(pParamsArray, 1);
    if (pParams == nullptr) return BadRequest("cJSON_Duplicate(params)", "NULL == pParams");
    *ppszFuncName = pszFuncName.release();
    *ppParams = pParams;
    *ppszRandomId = pszRandomId.release();
    KEVO_OK_A(FUNC, "cJSON_Parse");
    return 0;
}

int ConverJSONArrayItemtoNULLEndString(const cJSON* pJSONArray, int nIndex, char** ppszNULLEndString) {
    const char* FUNC = "ConverJSONArrayItemtoNULLEndString";
    const cJSON* pJSONItem = nullptr;
    int nResult = GetArrayItem(FUNC, pJSONArray, nIndex, &pJSONItem);
    if (nResult != 0) return nResult;
    const char* pszJSONItem = nullptr;
    if (cJSON_IsObject(pJSONItem)) {
        const cJSON* pParam = cJSON_GetObjectItem(pJSONItem, "param");
        int nItemType = pParam ? (pParam->type & 0xFF) : cJSON_Invalid;
        if (cJSON_String != nItemType) {
            KEVO_FAIL_A(FUNC, "Check item type", JSON_E_ITEM_TYPE, "cJSON_String != nItemType");
            return JSON_E_ITEM_TYPE;
        }
        pszJSONItem = pParam->valuestring;
    } else if (cJSON_String != (pJSONItem->type & 0xFF)) {
        KEVO_FAIL_A(FUNC, "Check item type", JSON_E_ITEM_TYPE, "cJSON_String != pJSONItem->type");
        return JSON_E_ITEM_TYPE;
    } else {
        pszJSONItem = pJSONItem->valuestring;
    }
    if (pszJSONItem == nullptr) {
        KEVO_FAIL_A(FUNC, "Check item text", JSON_E_ITEM_TYPE, "NULL == pszJSONItem");
        return JSON_E_ITEM_TYPE;
    }
    char* pszNULLEndString = CopyText(pszJSONItem);
    if (!pszNULLEndString) {
        KEVO_FAIL_A(FUNC, "New memory", -1, "!pszNULLEndString");
        return -1;
    }
    if (ppszNULLEndString == nullptr) {
        delete[] pszNULLEndString;
        return JSON_E_INVALID_PARAMETER;
    }
    *ppszNULLEndString = pszNULLEndString;
    KEVO_OK_A(FUNC, "Get string item");
    return 0;
}

int ConverJSONArrayItemtoint(const cJSON* pJSONArray, int nIndex, int* pnValue) {
    const char* FUNC = "ConverJSONArrayItemtoint";
    const cJSON* pJSONItem = nullptr;
    int nResult = GetArrayItem(FUNC, pJSONArray, nIndex, &pJSONItem);
    if (nResult != 0) return nResult;
    const cJSON* pNumber = cJSON_IsObject(pJSONItem) ? cJSON_GetObjectItem(pJSONItem, "param") : pJSONItem;
    int nItemType = pNumber ? (pNumber->type & 0xFF) : cJSON_Invalid;
    if (cJSON_Number != nItemType) {
        KEVO_FAIL_A(FUNC, "Check item type", JSON_E_ITEM_TYPE, "(cJSON_Number != nItemType)");
        return JSON_E_ITEM_TYPE;
    }
    if (pnValue == nullptr) return JSON_E_INVALID_PARAMETER;
    // cJSON keeps the number truncated toward zero (saturated at the int range).
    *pnValue = pNumber->valueint;
    KEVO_OK_A(FUNC, "Get number item");
    return 0;
}

int ConstructResponseJSON(const char* pszFuncName, int nErrorCode, int nResultKind, const void* pValue,
                          cJSON** ppResponseJSON) {
    const char* FUNC = "ConstructResponseJSON";
    if (pszFuncName == nullptr || pszFuncName[0] == '\0' || ppResponseJSON == nullptr) {
        KEVO_FAIL_A(FUNC, "Check parameter", JSON_E_INVALID_PARAMETER, "NULL == pszFuncName");
        return JSON_E_INVALID_PARAMETER;
    }
    JSONPtr pResponseJSON(cJSON_CreateObject());
    if (!pResponseJSON) {
        KEVO_FAIL_A(FUNC, "cJSON_CreateObject", JSON_E_CREATE_RESPONSE, "NULL == pResponseJSON");
        return JSON_E_CREATE_RESPONSE;
    }
    // 0, or JSON_E_CREATE_RESPONSE when the item or its key could not be made.
    auto add = [&](const char* pszKey, cJSON* pItem) {
        if (pItem == nullptr) return JSON_E_CREATE_RESPONSE;
        // The key is copied, which can fail too; the item is then still ours.
        if (!cJSON_AddItemToObject(pResponseJSON.get(), pszKey, pItem)) {
            cJSON_Delete(pItem);
            return JSON_E_CREATE_RESPONSE;
        }
        return 0;
    };
    int nResult = add("function", cJSON_CreateString(pszFuncName));
    if (nResult == 0) nResult = add("errorcode", cJSON_CreateNumber(static_cast<double>(nErrorCode)));
    if (nResult != 0) {
        KEVO_FAIL_A(FUNC, "cJSON_AddItemToObject", nResult, "NULL == pItem");
        return nResult;
    }
    if (nErrorCode != 0) {
        nResult = add("result", cJSON_CreateFalse());
    } else if (pValue != nullptr) {
        switch (nResultKind) {
            case JSON_RESULT_FALSE:
            case JSON_RESULT_TRUE:
                nResult = add("result", cJSON_CreateBool(*static_cast<const unsigned char*>(pValue) != 0));
                break;
            case JSON_RESULT_DOUBLE:
                nResult = add("result", cJSON_CreateNumber(*static_cast<const double*>(pValue)));
                break;
            case JSON_RESULT_STRING:
                nResult = add("result", cJSON_CreateString(static_cast<const char*>(pValue)));
                break;
            case JSON_RESULT_INT:
                nResult = add("result", cJSON_CreateNumber(static_cast<double>(*static_cast<const int*>(pValue))));
                break;
            default:
                KEVO_FAIL_A(FUNC, "Check result kind", -1, "unknown nResultKind");
                return -1;
        }
    }
    if (nResult != 0) {
        KEVO_FAIL_A(FUNC, "cJSON_AddItemToObject(result)", nResult, "NULL == pItem");
        return nResult;
    }
    *ppResponseJSON = pResponseJSON.release();
    KEVO_OK_A(FUNC, "cJSON_CreateObject");
    return 0;
}

int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId, cJSON* pResponseJSON,
                             char** ppszResponseMsg) {
    const char* FUNC = "ConvertJSONToResponseMsg";
    if (ppszResponseMsg == nullptr) return 0;
    *ppszResponseMsg = nullptr;
    const bool bHasId = pszRandomId != nullptr && pszRandomId[0] != '\0';
    if (pResponseJSON != nullptr) {
        bool bReady = true;
        if (bHasId) {
            cJSON* pId = cJSON_CreateString(pszRandomId);
            if (pId == nullptr) {
                bReady = false;
            } else if (!cJSON_AddItemToObject(pResponseJSON, "randomId", pId)) {
                cJSON_Delete(pId);
                bReady = false;  // the fallback below carries the id
            }
        }
        char* pszPrinted = bReady ? cJSON_PrintUnformatted(pResponseJSON) : nullptr;
        if (pszPrinted != nullptr) {
            *ppszResponseMsg = CopyText(pszPrinted);
            cJSON_free(pszPrinted);
            if (*ppszResponseMsg != nullptr) {
                KEVO_OK_A(FUNC, "cJSON_PrintUnformatted");
                return 0;
            }
        }
        KEVO_FAIL_A(FUNC, "cJSON_PrintUnformatted", -1, "NULL == pszResponseMsg");
    }
    // No object: the fixed fallback form. The name and id are escaped so the
    // browser always receives valid JSON.
    std::string strFuncName, strRandomId;
    if (pszFuncName) AppendJSONEscaped(pszFuncName, strFuncName);
    if (bHasId) AppendJSONEscaped(pszRandomId, strRandomId);
    std::string strMsg = "{\"function\":\"" + strFuncName +
                         "\", \"errorcode\":" + std::to_string(JSON_E_ITEM_NOT_FOUND) + ", \"result\":false";
    if (bHasId) strMsg += ", \"randomId\":\"" + strRandomId + "\"";
    strMsg += "}";
    *ppszResponseMsg = CopyText(strMsg.data(), strMsg.size());
    KEVO_OK_A(FUNC, "fallback response");
    return 0;
}
