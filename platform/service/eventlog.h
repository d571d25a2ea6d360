// The event log: entries go to syslog with the source name in each message
// (syslog's ident is per process, so it cannot carry the source) and, when
// QUORVEL_EVENTLOG_FILE names a file, are appended there as one line each:
//   <source>: <text>
// Control characters in the text are written as \xHH so an entry stays one line.
#pragma once

#include "platform/base/base.h"

using HANDLE = void*;

inline constexpr WORD EVENTLOG_SUCCESS = 0x0000;
inline constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
inline constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
inline constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;

// Opens a source; `server` must be null (the local machine). Null on failure.
HANDLE RegisterEventSourceA(const char* server, const char* source);
// Writes one entry whose text is the `num_strings` strings joined by a space.
// The strings are data, never a format. False for a null handle.
BOOL ReportEventA(HANDLE source, WORD type, WORD category, DWORD event_id, void* user_sid,
                  WORD num_strings, DWORD data_size, const char** strings, void* raw_data);
BOOL DeregisterEventSource(HANDLE source);
