// The server management class braskelmgr2, a local server in the braskel
// program: the identities and registration names every creator relies on.
// The values were drawn at random once and never change.
#pragma once

#include "platform/base/base.h"
#include "platform/com/dispatch.h"

inline constexpr CLSID CLSID_braskelmgr2 =  // {9CDC65F4-C6B4-4A1F-ADAC-EE213AAC4CA0}
    {0x9CDC65F4, 0xC6B4, 0x4A1F, {0xAD, 0xAC, 0xEE, 0x21, 0x3A, 0xAC, 0x4C, 0xA0}};
inline constexpr IID IID_Ibraskelmgr2 =  // {C62AF94E-12C3-4C66-BD2B-A29E11F6D14E}
    {0xC62AF94E, 0x12C3, 0x4C66, {0xBD, 0x2B, 0xA2, 0x9E, 0x11, 0xF6, 0xD1, 0x4E}};
inline constexpr GUID LIBID_braskelLib =  // {F668159C-D230-450B-8D17-CFA396F00B06}
    {0xF668159C, 0xD230, 0x450B, {0x8D, 0x17, 0xCF, 0xA3, 0x96, 0xF0, 0x0B, 0x06}};
inline constexpr GUID APPID_braskel =  // {0F827EE3-EB6E-4E62-96EF-D39D63E5252B}
    {0x0F827EE3, 0xEB6E, 0x4E62, {0x96, 0xEF, 0xD3, 0x9D, 0x63, 0xE5, 0x25, 0x2B}};

// Ibraskelmgr2: every method returns S_OK and reports its outcome in Result.
// Callers bind arguments by name, so the parameter names are the contract.
// SvcInfo is a one-dimensional VT_ARRAY|VT_VARIANT of VT_DISPATCH structs
// (ISoapStruct) with the members SvcURI, SvcName, Port, WSDL_URL, SvcProgID,
// HdrProgIDs, Roles (one-dimensional arrays of VT_BSTR), NextHopURL, NodeURI
// and Enabled (VT_BOOL). MIMETypes is a two-dimensional VT_ARRAY|VT_VARIANT of
// bounds (2, n): {0, i} is entry i's extension, {1, i} its MIME type.
#define QV_IBRASKELMGR2_METHODS(X)                                                      \
  X(GetServerStats, 1, (Out, LONG, NumConnects), (Out, LONG, NumBytesSent),             \
    (Out, LONG, NumHTTPErrors), (Out, LONG, NumNetErrors), (Out, LONG, NumIntErrors),   \
    (Retval, VARIANT_BOOL, Result))                                                     \
  X(GetServerParams, 2, (Out, LONG, ListenPort), (Out, LONG, NumWorkThreads),           \
    (Out, LONG, NumClientConn), (Out, LONG, ClientTimeout), (Out, LONG, WatchdogTimer), \
    (Retval, VARIANT_BOOL, Result))                                                     \
  X(GetServiceInfo, 3, (Out, VARIANT, SvcInfo), (Retval, VARIANT_BOOL, Result))         \
  X(SetServiceInfo, 4, (In, VARIANT, SvcInfo), (Retval, VARIANT_BOOL, Result))          \
  X(GetHTTPSettings, 5, (Out, BSTR, DocRootPath), (Out, BSTR, DefaultFilePath),         \
    (Out, VARIANT, MIMETypes), (Retval, VARIANT_BOOL, Result))                          \
  X(SetHTTPSettings, 6, (In, BSTR, DocRootPath), (In, BSTR, DefaultFilePath),           \
    (In, VARIANT, MIMETypes), (Retval, VARIANT_BOOL, Result))                           \
  X(GetLogSettings, 7, (Out, BSTR, ServerLogPath), (Out, BSTR, UserAgentLogPath),       \
    (Out, BSTR, SOAPTraceLogPath), (Out, VARIANT_BOOL, ServerLogEnabled),               \
    (Out, VARIANT_BOOL, UserAgentLogEnabled), (Out, VARIANT_BOOL, SOAPTraceLogEnabled), \
    (Retval, VARIANT_BOOL, Result))                                                     \
  X(SetLogSettings, 8, (In, BSTR, ServerLogPath), (In, BSTR, UserAgentLogPath),         \
    (In, BSTR, SOAPTraceLogPath), (In, VARIANT_BOOL, ServerLogEnabled),                 \
    (In, VARIANT_BOOL, UserAgentLogEnabled), (In, VARIANT_BOOL, SOAPTraceLogEnabled),   \
    (Retval, VARIANT_BOOL, Result))

QV_DISPATCH_INTERFACE(Ibraskelmgr2, IID_Ibraskelmgr2, QV_IBRASKELMGR2_METHODS)

// Registration names of the class.
inline constexpr char kBraskelMgrProgId[] = "braskel.braskelmgr2";
inline constexpr char kBraskelMgrVersionedProgId[] = "braskel.braskelmgr2.1";
