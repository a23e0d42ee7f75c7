// Event tracing: provider registration, enable state and TraceMessage.
//
// A trace session is emulated by the boot-time global logger setting in the
// machine hive: "SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger" with
// "Start" = 1 means the "GlobalLogger" session runs; the flags and level a
// provider gets are the DWORDs "Flags" and "Level" of the subkey named by its
// control GUID in braces. Messages sent to that session are appended as text
// lines to <prefix>/trace/kevo.log (rotated at 4 MiB, one old file kept as
// kevo.log.1):
//   <UTC time>\t<pid>\t<tid>\t<sequence>\t<unit>\t<message number>\t<text>
// The unit is the name given to the message GUID with TraceNameMessageGuid
// (else the GUID in braces); the text is the arguments, each rendered as
// UTF-16 text when it ends with a zero WCHAR at an even length, as 8-bit text
// when it ends with a zero byte, else as hexadecimal; several arguments are
// separated by a blank. Line feeds, carriage returns and other control
// characters but tabs are written as \n, \r and \xNN.
#pragma once

#include <cstdarg>

#include "win/wintypes.h"
#include "win/winerror.h"

typedef uint64_t ULONG64;
typedef ULONGLONG TRACEHANDLE;
typedef TRACEHANDLE* PTRACEHANDLE;
typedef unsigned char UCHAR;

enum WMIDPREQUESTCODE {
    WMI_GET_ALL_DATA = 0,
    WMI_GET_SINGLE_INSTANCE = 1,
    WMI_SET_SINGLE_INSTANCE = 2,
    WMI_SET_SINGLE_ITEM = 3,
    WMI_ENABLE_EVENTS = 4,
    WMI_DISABLE_EVENTS = 5,
    WMI_ENABLE_COLLECTION = 6,
    WMI_DISABLE_COLLECTION = 7,
    WMI_REGINFO = 8,
    WMI_EXECUTE_METHOD = 9,
};

typedef ULONG (*WMIDPREQUEST)(WMIDPREQUESTCODE RequestCode, PVOID RequestContext, ULONG* BufferSize, PVOID Buffer);

struct TRACE_GUID_REGISTRATION {
    LPCGUID Guid;
    HANDLE RegHandle;
};
typedef TRACE_GUID_REGISTRATION* PTRACE_GUID_REGISTRATION;

struct WNODE_HEADER {
    ULONG BufferSize;
    ULONG ProviderId;
    union {
        ULONG64 HistoricalContext;
        struct {
            ULONG Version;
            ULONG Linkage;
        } s;
    } u1;
    union {
        LARGE_INTEGER TimeStamp;
    } u2;
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
};
typedef WNODE_HEADER* PWNODE_HEADER;

struct EVENT_TRACE_PROPERTIES {
    WNODE_HEADER Wnode;
    ULONG BufferSize;
    ULONG MinimumBuffers;
    ULONG MaximumBuffers;
    ULONG MaximumFileSize;
    ULONG LogFileMode;
    ULONG FlushTimer;
    ULONG EnableFlags;
    LONG AgeLimit;
    ULONG NumberOfBuffers;
    ULONG FreeBuffers;
    ULONG EventsLost;
    ULONG BuffersWritten;
    ULONG LogBuffersLost;
    ULONG RealTimeBuffersLost;
    HANDLE LoggerThreadId;
    ULONG LogFileNameOffset;
    ULONG LoggerNameOffset;
};
typedef EVENT_TRACE_PROPERTIES* PEVENT_TRACE_PROPERTIES;

#define EVENT_TRACE_CONTROL_QUERY 0
#define EVENT_TRACE_CONTROL_STOP 1
#define EVENT_TRACE_CONTROL_UPDATE 2
#define EVENT_TRACE_CONTROL_FLUSH 3

#define TRACE_MESSAGE_SEQUENCE 1
#define TRACE_MESSAGE_GUID 2
#define TRACE_MESSAGE_COMPONENTID 4
#define TRACE_MESSAGE_TIMESTAMP 8
#define TRACE_MESSAGE_PERFORMANCE_TIMESTAMP 16
#define TRACE_MESSAGE_SYSTEMINFO 32

#define GLOBAL_LOGGER_NAMEW u"GlobalLogger"

ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext, LPCGUID ControlGuid, ULONG GuidCount,
                          PTRACE_GUID_REGISTRATION TraceGuidReg, LPCWSTR MofImagePath, LPCWSTR MofResourceName,
                          PTRACEHANDLE RegistrationHandle);
ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle);
// Inside an enable callback: the session's handle, level and flags from the
// callback's Buffer. Outside one, 0 with ERROR_INVALID_HANDLE.
TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer);
UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle);
ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle);
// Only the query of a named session is supported: ERROR_SUCCESS and the
// session's logger handle in Properties->Wnode.u1.HistoricalContext when it
// runs, ERROR_WMI_INSTANCE_NOT_FOUND otherwise.
ULONG ControlTraceW(TRACEHANDLE SessionHandle, LPCWSTR SessionName, PEVENT_TRACE_PROPERTIES Properties,
                    ULONG ControlCode);
// Arguments: (const void* pointer, size_t length) pairs ending with a null pointer.
ULONG TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber, ...);
ULONG TraceMessageVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber,
                     va_list MessageArgList);

// Emulation extras (no Windows counterpart).
// Names a message GUID for the unit column of the trace file.
void TraceNameMessageGuid(LPCGUID MessageGuid, const char* pszUnitName);
// Re-reads the global logger setting and calls the enable callback of every
// registered provider whose state changed (what a session start/stop does).
void TraceRefreshProviders();
