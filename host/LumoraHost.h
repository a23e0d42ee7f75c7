// The native-messaging host program: entry point, message loop, one request
// at a time, and the name dispatch to the request handlers.
#pragma once

#include <cjson/cJSON.h>

#include "agent/CryptoAgent.h"

// Image of the program itself: the agent reads its error texts from here.
extern HINSTANCE g_hInstance;
// The one agent of the process, alive from before the first read to after
// the last write.
extern CCryptoAgent* g_pobjCryptoAgent;

// Exit codes: 0 when the browser closed the pipe (or sent an empty frame),
// after install mode (1 when install mode found the machine hive damaged and
// did nothing), or when start-up could not get the module handle or the
// agent; -1 when binary mode could not be set, a response was too long or not
// written, a request buffer could not be allocated, or the input ended inside
// a frame; otherwise the errno of a failing read (all modulo 256 as a process
// exit status).
int wmain(int argc, WCHAR* argv[]);

// Serves frames from descriptor 0 to descriptor 1 until the conversation ends.
int MsgHandleProc();

// Answers one request text; always 0 with a response text (new char[]).
int ParseAndRespondRequest(const char* pszRequestMsg, char** ppszResponseMsg);

// Calls the handler named by pszFuncName (ASCII case ignored); -1 and no
// response object when no operation has that name.
int Invoke(cJSON** ppResponseJSON, const char* pszFuncName, const cJSON* pParams);
