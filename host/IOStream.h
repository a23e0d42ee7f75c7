// The byte level of the native-messaging conversation: frames of a 4-byte
// little-endian length followed by that many bytes of UTF-8 JSON, read from
// one descriptor and written to another with the unbuffered read/write calls.
#pragma once

// Largest payload the browser accepts from a host.
#define NM_MAX_OUTGOING_PAYLOAD 0x100000u

// Result of a read whose frame was cut off: the input ended after part of the
// length prefix or part of the payload had arrived. The host exits with it.
#define NM_E_TRUNCATED_FRAME (-1)

// Result of a read whose payload could not be given a buffer: the frame was
// read to its end and dropped, so the next frame starts in step and the host
// answers this one with a failure instead of ending the conversation.
#define NM_E_NO_MEMORY (-2)

// Standard input and output in binary mode. Linux has no text mode, so this
// always succeeds; it returns 0, or -1 when a stream could not be switched.
int SetTranslationMode();

// Reads one frame from nFd. Returns 0 with a new char[] of N+1 bytes
// (NUL-terminated, released with delete[]) and N. A length of 0 or 0xFFFFFFFF,
// or the input ending (or its read failing) before any byte of a frame, gives
// 0 with no buffer and a size of 0: the end of the conversation. The prefix
// and the payload may arrive in any number of pieces. Failures, with the
// outputs untouched: NM_E_TRUNCATED_FRAME when the input ends inside a frame,
// NM_E_NO_MEMORY when the buffer cannot be allocated (the frame is consumed),
// the errno of a read that fails
// after the frame began. Either out-pointer may be null; a payload not
// handed over is freed.
int ReadFromNativeMessaging(int nFd, char** ppszMsg, unsigned* pnSize);

// Frames the NUL-terminated text and writes it to nFd with one write call
// (prefix and text gathered, so sending needs no memory).
// Returns 0 when the whole frame left, -1 otherwise; a text longer than
// NM_MAX_OUTGOING_PAYLOAD sends the impossible length FF FF FF FF alone and
// returns -1.
int WriteToNativeMessaging(const char* pszMsg, int nFd);
