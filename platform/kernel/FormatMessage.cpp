// FormatMessageW with the system's message table: the English texts of the
// Win32 errors and HRESULTs this platform returns, each ending in CR LF as
// Windows' texts do.
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "win/winbase.h"

namespace {

constexpr DWORD kErrorMrMidNotFound = 317;

struct Message {
    DWORD id;
    const char16_t* text;
};

// Win32 errors (and through 0x8007xxxx, their HRESULTs).
const Message kWin32Messages[] = {
    {0, u"The operation completed successfully.\r\n"},
    {1, u"Incorrect function.\r\n"},
    {2, u"The system cannot find the file specified.\r\n"},
    {3, u"The system cannot find the path specified.\r\n"},
    {4, u"The system cannot open the file.\r\n"},
    {5, u"Access is denied.\r\n"},
    {6, u"The handle is invalid.\r\n"},
    {8, u"Not enough memory resources are available to process this command.\r\n"},
    {11, u"An attempt was made to load a program with an incorrect format.\r\n"},
    {13, u"The data is invalid.\r\n"},
    {14, u"Not enough memory resources are available to complete this operation.\r\n"},
    {29, u"The system cannot write to the specified device.\r\n"},
    {30, u"The system cannot read from the specified device.\r\n"},
    {32, u"The process cannot access the file because it is being used by another process.\r\n"},
    {38, u"Reached the end of the file.\r\n"},
    {50, u"The request is not supported.\r\n"},
    {80, u"The file exists.\r\n"},
    {87, u"The parameter is incorrect.\r\n"},
    {112, u"There is not enough space on the disk.\r\n"},
    {120, u"This function is not supported on this system.\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n"},
    {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, u"The specified module could not be found.\r\n"},
    {127, u"The specified procedure could not be found.\r\n"},
    {161, u"The specified path is invalid.\r\n"},
    {170, u"The requested resource is in use.\r\n"},
    {183, u"Cannot create a file when that file already exists.\r\n"},
    {206, u"The filename or extension is too long.\r\n"},
    {234, u"More data is available.\r\n"},
    {259, u"No more data is available.\r\n"},
    {267, u"The directory name is invalid.\r\n"},
    {317, u"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {487, u"Attempt to access invalid address.\r\n"},
    {998, u"Invalid access to memory location.\r\n"},
    {1004, u"Invalid flags.\r\n"},
    {1009, u"The configuration registry database is corrupt.\r\n"},
    {1010, u"The configuration registry key is invalid.\r\n"},
    {1011, u"The configuration registry key could not be opened.\r\n"},
    {966,
     u"The requested system device cannot be identified due to multiple indistinguishable devices potentially "
     u"matching the identification criteria.\r\n"},
    {1012, u"The configuration registry key could not be read.\r\n"},
    {1013, u"The configuration registry key could not be written.\r\n"},
    {1015,
     u"The registry is corrupted. The structure of one of the files containing registry data is corrupted, or the "
     u"system's memory image of the file is corrupted, or the file could not be recovered because the alternate copy "
     u"or log was absent or corrupted.\r\n"},
    {1016,
     u"An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or write out, "
     u"or flush, one of the files that contain the system's image of the registry.\r\n"},
    {1018, u"Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1020, u"Cannot create a symbolic link in a registry key that already has subkeys or values.\r\n"},
    {1113, u"No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1168, u"Element not found.\r\n"},
    {1223, u"The operation was canceled by the user.\r\n"},
    {1359, u"An internal error occurred.\r\n"},
    {1804, u"The specified datatype is invalid.\r\n"},
    {1812, u"The specified image file did not contain a resource section.\r\n"},
    {1813, u"The specified resource type cannot be found in the image file.\r\n"},
    {1814, u"The specified resource name cannot be found in the image file.\r\n"},
    {1815, u"The specified resource language ID cannot be found in the image file.\r\n"},
    {4201, u"The instance name passed was not recognized as valid by a WMI data provider.\r\n"},
};

// HRESULTs of COM and CryptoAPI.
const Message kHresultMessages[] = {
    {0x80004001, u"Not implemented\r\n"},
    {0x80004002, u"No such interface supported\r\n"},
    {0x80004003, u"Invalid pointer\r\n"},
    {0x80004004, u"Operation aborted\r\n"},
    {0x80004005, u"Unspecified error\r\n"},
    {0x8000FFFF, u"Catastrophic failure\r\n"},
    {0x80010106, u"Cannot change thread mode after it is set.\r\n"},
    {0x80040154, u"Class not registered\r\n"},
    {0x800401F0, u"CoInitialize has not been called.\r\n"},
    {0x800401F3, u"Invalid class string\r\n"},
    {0x80090001, u"Bad UID.\r\n"},
    {0x80090002, u"Bad Hash.\r\n"},
    {0x80090003, u"Bad Key.\r\n"},
    {0x80090004, u"Bad Length.\r\n"},
    {0x80090005, u"Bad Data.\r\n"},
    {0x80090006, u"Invalid Signature.\r\n"},
    {0x80090007, u"Bad Version of provider.\r\n"},
    {0x80090008, u"Invalid algorithm specified.\r\n"},
    {0x80090009, u"Invalid flags specified.\r\n"},
    {0x8009000A, u"Invalid type specified.\r\n"},
    {0x8009000B, u"Key not valid for use in specified state.\r\n"},
    {0x8009000C, u"Hash not valid for use in specified state.\r\n"},
    {0x8009000D, u"Key does not exist.\r\n"},
    {0x8009000E, u"Insufficient memory available for the operation.\r\n"},
    {0x8009000F, u"Object already exists.\r\n"},
    {0x80090010, u"Access denied.\r\n"},
    {0x80090011, u"Object was not found.\r\n"},
    {0x80090012, u"Data already encrypted.\r\n"},
    {0x80090013, u"Invalid provider specified.\r\n"},
    {0x80090014, u"Invalid provider type specified.\r\n"},
    {0x80090015, u"Provider's public key is invalid.\r\n"},
    {0x80090016, u"Keyset does not exist\r\n"},
    {0x80090017, u"Provider type not defined.\r\n"},
    {0x80090018, u"Provider type as registered is invalid.\r\n"},
    {0x80090019, u"The keyset is not defined.\r\n"},
    {0x8009001A, u"Keyset as registered is invalid.\r\n"},
    {0x8009001B, u"Provider type does not match registered value.\r\n"},
    {0x8009001C, u"The digital signature file is corrupt.\r\n"},
    {0x8009001D, u"Provider DLL failed to initialize correctly.\r\n"},
    {0x8009001E, u"Provider DLL could not be found.\r\n"},
    {0x8009001F, u"The Keyset parameter is invalid.\r\n"},
    {0x80090020, u"An internal error occurred.\r\n"},
    {0x80090021, u"A base error occurred.\r\n"},
    {0x80090022, u"Provider could not perform the action since the context was acquired as silent.\r\n"},
    {0x80090023, u"The security token does not have storage space available for an additional container.\r\n"},
    {0x80090024, u"The profile for the user is a temporary profile.\r\n"},
    {0x80090025, u"The key parameters could not be set because the CSP uses fixed parameters.\r\n"},
    {0x80090026, u"The supplied handle is invalid.\r\n"},
    {0x80090027, u"The parameter is incorrect.\r\n"},
    {0x80090028, u"The buffer supplied to a function was too small.\r\n"},
    {0x80090029, u"The requested operation is not supported.\r\n"},
    {0x8009002A, u"No more data is available.\r\n"},
    {0x8009002B, u"The supplied buffers overlap incorrectly.\r\n"},
    {0x8009002C, u"The specified data could not be decrypted.\r\n"},
    {0x8009002D, u"An internal consistency check failed.\r\n"},
    {0x80091001, u"An error occurred while performing an operation on a cryptographic message.\r\n"},
    {0x80091002, u"Unknown cryptographic algorithm.\r\n"},
    {0x80091003, u"The object identifier is poorly formatted.\r\n"},
    {0x80091004, u"Invalid cryptographic message type.\r\n"},
    {0x80091005, u"Unexpected cryptographic message encoding.\r\n"},
    {0x80091006, u"The cryptographic message does not contain an expected authenticated attribute.\r\n"},
    {0x80091007, u"The hash value is not correct.\r\n"},
    {0x80091008, u"The index value is not valid.\r\n"},
    {0x80091009, u"The content of the cryptographic message has already been decrypted.\r\n"},
    {0x8009100A, u"The content of the cryptographic message has not been decrypted yet.\r\n"},
    {0x8009100B, u"The enveloped-data message does not contain the specified recipient.\r\n"},
    {0x8009100C, u"Invalid control type.\r\n"},
    {0x8009100D, u"Invalid issuer and/or serial number.\r\n"},
    {0x8009100E, u"Cannot find the original signer.\r\n"},
    {0x8009100F, u"The cryptographic message does not contain all of the requested attributes.\r\n"},
    {0x80092001, u"The length specified for the output data was insufficient.\r\n"},
    {0x80092002, u"An error occurred during encode or decode operation.\r\n"},
    {0x80092003, u"An error occurred while reading or writing to a file.\r\n"},
    {0x80092004, u"Cannot find object or property.\r\n"},
    {0x80092005, u"The object or property already exists.\r\n"},
    {0x80092006, u"No provider was specified for the store or object.\r\n"},
    {0x80092007, u"The specified certificate is self signed.\r\n"},
    {0x80092008, u"The previous certificate or CRL context was deleted.\r\n"},
    {0x80092009, u"Cannot find the requested object.\r\n"},
    {0x8009200A, u"The certificate does not have a property that references a private key.\r\n"},
    {0x8009200B, u"Cannot find the certificate and private key for decryption.\r\n"},
    {0x8009200C, u"Cannot find the certificate and private key to use for decryption.\r\n"},
    {0x8009200D, u"Not a cryptographic message or the cryptographic message is not formatted correctly.\r\n"},
    {0x8009200E, u"The signed cryptographic message does not have a signer for the specified signer index.\r\n"},
    {0x8009200F, u"Final closure is pending until additional frees or closes.\r\n"},
    {0x80092010, u"The certificate is revoked.\r\n"},
    {0x80092011, u"No Dll or exported function was found to verify revocation.\r\n"},
    {0x80092012, u"The revocation function was unable to check revocation for the certificate.\r\n"},
    {0x80092013, u"The revocation function was unable to check revocation because the revocation server was offline.\r\n"},
    {0x80092014, u"The certificate is not in the revocation server's database.\r\n"},
    {0x80092020, u"The string contains a non-numeric character.\r\n"},
    {0x80092021, u"The string contains a non-printable character.\r\n"},
    {0x80092022, u"The string contains a character not in the 7 bit ASCII character set.\r\n"},
    {0x80092023, u"The string contains an invalid X500 name attribute key, oid, value or delimiter.\r\n"},
    {0x80092024,
     u"The dwValueType for the CERT_NAME_VALUE is not one of the character strings.  Most likely it is either a "
     u"CERT_RDN_ENCODED_BLOB or CERT_TDN_OCTED_STRING.\r\n"},
    {0x80093100, u"ASN1 Certificate encode/decode error code base.\r\n"},
    {0x80093101, u"ASN1 internal encode or decode error.\r\n"},
    {0x80093102, u"ASN1 unexpected end of data.\r\n"},
    {0x80093103, u"ASN1 corrupted data.\r\n"},
    {0x80093104, u"ASN1 value too large.\r\n"},
    {0x80093105, u"ASN1 constraint violated.\r\n"},
    {0x80093106, u"ASN1 out of memory.\r\n"},
    {0x80093107, u"ASN1 buffer overflow.\r\n"},
    {0x80093108, u"ASN1 function not supported for this PDU.\r\n"},
    {0x80093109, u"ASN1 bad arguments to function call.\r\n"},
    {0x8009310A, u"ASN1 bad real value.\r\n"},
    {0x8009310B, u"ASN1 bad tag value met.\r\n"},
    {0x8009310C, u"ASN1 bad choice value.\r\n"},
    {0x8009310D, u"ASN1 bad encoding rule.\r\n"},
    {0x8009310E, u"ASN1 bad unicode (UTF8).\r\n"},
    {0x8010000C, u"The operation requires a Smart Card, but no Smart Card is currently in the device.\r\n"},
    {0x8010006B, u"The card cannot be accessed because the wrong PIN was presented.\r\n"},
    {0x8010006C, u"The card cannot be accessed because the maximum number of PIN entry attempts has been reached.\r\n"},
    {0x8010006E, u"The action was cancelled by the user.\r\n"},
};

const char16_t* FindIn(const Message* table, size_t n, DWORD id) {
    for (size_t i = 0; i < n; ++i)
        if (table[i].id == id) return table[i].text;
    return nullptr;
}

const char16_t* SystemMessage(DWORD id) {
    if (id <= 0xFFFF) return FindIn(kWin32Messages, sizeof(kWin32Messages) / sizeof(Message), id);
    // HRESULT_FROM_WIN32: the Win32 text of the low word.
    if ((id & 0xFFFF0000u) == 0x80070000u)
        return FindIn(kWin32Messages, sizeof(kWin32Messages) / sizeof(Message), id & 0xFFFF);
    return FindIn(kHresultMessages, sizeof(kHresultMessages) / sizeof(Message), id);
}

// Inserts %1..%99 from the arguments (strings), and the escapes %0 (end, no
// final line break), %n, %r, %t, %%, %. and %!.
bool ExpandInserts(const char16_t* text, va_list* args, bool argArray, std::u16string* out) {
    std::u16string r;
    std::vector<LPCWSTR> taken;
    for (const char16_t* p = text; *p; ++p) {
        if (*p != u'%') {
            r.push_back(*p);
            continue;
        }
        ++p;
        if (*p == 0) break;
        if (*p >= u'1' && *p <= u'9') {
            int n = *p - u'0';
            if (p[1] >= u'0' && p[1] <= u'9') n = n * 10 + (*++p - u'0');
            if (!args) return false;
            if (argArray) {
                r += reinterpret_cast<LPCWSTR const*>(args)[n - 1];
            } else {
                while (static_cast<int>(taken.size()) < n) taken.push_back(va_arg(*args, LPCWSTR));
                r += taken[static_cast<size_t>(n - 1)] ? taken[static_cast<size_t>(n - 1)] : u"";
            }
            continue;
        }
        switch (*p) {
        case u'0':
            *out = r;
            return true;
        case u'n':
            r += u"\r\n";
            break;
        case u'r':
            r += u"\r";
            break;
        case u't':
            r += u"\t";
            break;
        default:
            r.push_back(*p);  // %% %. %! and anything else: the character itself
        }
    }
    *out = r;
    return true;
}

}  // namespace

DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                     DWORD nSize, va_list* Arguments) try {
    if (!lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char16_t* text = nullptr;
    if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
        text = static_cast<const char16_t*>(lpSource);
        if (!text) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    } else if (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) {
        // The system table is English; other languages are not installed.
        WORD primary = static_cast<WORD>(dwLanguageId & 0x3FF);
        if (dwLanguageId != 0 && primary != LANG_NEUTRAL && primary != LANG_ENGLISH) {
            SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
            return 0;
        }
        text = SystemMessage(dwMessageId);
        if (!text) {
            SetLastError(kErrorMrMidNotFound);
            return 0;
        }
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }

    std::u16string msg;
    if (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) {
        msg = text;
    } else if (!ExpandInserts(text, Arguments, (dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0, &msg)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Width 0xFF: regular line breaks are dropped.
    if ((dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK) {
        std::u16string flat;
        for (size_t i = 0; i < msg.size(); ++i) {
            if (msg[i] == u'\r' && i + 1 < msg.size() && msg[i + 1] == u'\n') {
                if (i + 2 < msg.size()) flat.push_back(u' ');
                ++i;
            } else {
                flat.push_back(msg[i]);
            }
        }
        msg = flat;
    }

    DWORD len = static_cast<DWORD>(msg.size());
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        DWORD units = len + 1 > nSize ? len + 1 : nSize;
        auto* p = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, static_cast<SIZE_T>(units) * sizeof(WCHAR)));
        if (!p) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(p, msg.c_str(), (static_cast<size_t>(len) + 1) * sizeof(WCHAR));
        *reinterpret_cast<LPWSTR*>(lpBuffer) = p;
        return len;
    }
    if (len + 1 > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpBuffer, msg.c_str(), (static_cast<size_t>(len) + 1) * sizeof(WCHAR));
    return len;
} catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}
