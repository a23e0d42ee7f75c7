// Request texts: the splitter, the parameter accessors and the whole answer
// path of the host in-process, with one agent for the run as the host has.
// Key generation is left out (it parses nothing more and would fill the
// prefix with containers); every other operation runs.
#include <cjson/cJSON.h>

#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "host/JSONUtility.h"
#include "host/LumoraHost.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tessaro_fuzz::UsePrivatePrefix();
    g_hInstance = GetModuleHandleW(nullptr);
    g_pobjCryptoAgent = new CCryptoAgent(g_hInstance);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
    std::string strText(reinterpret_cast<const char*>(pb), cb);
    char* pszFunc = nullptr;
    cJSON* pParams = nullptr;
    char* pszRandomId = nullptr;
    int nResult = ParseRequestMsgToJSON(strText.c_str(), &pszFunc, &pParams, &pszRandomId);
    bool bKeyGeneration = false;
    if (nResult == 0) {
        if (pszFunc == nullptr) abort();
        bKeyGeneration = strcasestr(pszFunc, "PKCS10") != nullptr;  // however the name is dressed
        int nCount = GetJSONArrayItemCount(pParams);
        for (int i = -1; i <= nCount; ++i) {
            char* psz = nullptr;
            if (ConverJSONArrayItemtoNULLEndString(pParams, i, &psz) == 0) {
                if (psz == nullptr) abort();
                delete[] psz;
            }
            int nValue = 0;
            ConverJSONArrayItemtoint(pParams, i, &nValue);
        }
    } else if (pszFunc != nullptr || pParams != nullptr || pszRandomId != nullptr) {
        abort();  // a failed split hands nothing out
    }
    delete[] pszFunc;
    delete[] pszRandomId;
    cJSON_Delete(pParams);
    if (bKeyGeneration) return 0;

    char* pszResponse = nullptr;
    if (ParseAndRespondRequest(strText.c_str(), &pszResponse) != 0 || pszResponse == nullptr) abort();
    // Every answer is one JSON object with a numeric "errorcode".
    cJSON* pResponse = cJSON_Parse(pszResponse);
    if (pResponse == nullptr || !cJSON_IsObject(pResponse) ||
        !cJSON_IsNumber(cJSON_GetObjectItem(pResponse, "errorcode")))
        abort();
    cJSON_Delete(pResponse);
    delete[] pszResponse;
    return 0;
}
