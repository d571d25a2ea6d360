// Plug-ins for the dispatch tests, built as one component library and
// registered into a temporary registry: header processors that accept,
// refuse, fail, answer with an integer or add a block that cannot be written;
// body handlers for documents; an
// RPC echo service; a DIME echo; a SOAP GET service.
#pragma once

#include "platform/com/dispatch.h"

#define QV_ITESTHEADER_METHODS(X)                                                 \
  X(OnTestMUHeaderBlock, 1, (In, BSTR, bstrNamespace), (In, BSTR, bstrLocalName), \
    (Retval, VARIANT_BOOL, pResult))                                              \
  X(OnProcessHeader, 2, (In, DISPATCH, SOAPMsgInterface), (Retval, VARIANT, pResult))
inline constexpr IID IID_ITestHeader =  // {5B7F2C10-1A2B-4C3D-8E4F-0A1B2C3D4E01}
    {0x5B7F2C10, 0x1A2B, 0x4C3D, {0x8E, 0x4F, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x01}};
QV_DISPATCH_INTERFACE(ITestHeader, IID_ITestHeader, QV_ITESTHEADER_METHODS)

#define QV_ITESTBODY_METHODS(X)                                                     \
  X(OnProcessBody, 1, (In, DISPATCH, SOAPMsgInterface), (Retval, VARIANT, pResult)) \
  X(OnProcessSoapPost, 2, (In, DISPATCH, SOAPMsgInterface), (In, BSTR, bstrSvcURI), \
    (In, BSTR, bstrExtraPath), (Retval, VARIANT, pResult))
inline constexpr IID IID_ITestBody =  // {5B7F2C10-1A2B-4C3D-8E4F-0A1B2C3D4E02}
    {0x5B7F2C10, 0x1A2B, 0x4C3D, {0x8E, 0x4F, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x02}};
QV_DISPATCH_INTERFACE(ITestBody, IID_ITestBody, QV_ITESTBODY_METHODS)

// Only the SOAP 1.1 method.
#define QV_ITESTBODY11_METHODS(X) \
  X(OnProcessBody, 1, (In, DISPATCH, SOAPMsgInterface), (Retval, VARIANT, pResult))
inline constexpr IID IID_ITestBody11 =  // {5B7F2C10-1A2B-4C3D-8E4F-0A1B2C3D4E03}
    {0x5B7F2C10, 0x1A2B, 0x4C3D, {0x8E, 0x4F, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x03}};
QV_DISPATCH_INTERFACE(ITestBody11, IID_ITestBody11, QV_ITESTBODY11_METHODS)

#define QV_ITESTECHO_METHODS(X)                                                      \
  X(echoString, 1, (In, BSTR, inputString), (Retval, BSTR, pResult))                 \
  X(echoInteger, 2, (In, LONG, inputInteger), (Retval, LONG, pResult))               \
  X(echoStruct, 3, (In, VARIANT, inputStruct), (Retval, VARIANT, pResult))           \
  X(echoStringArray, 4, (In, VARIANT, inputStringArray), (Retval, VARIANT, pResult)) \
  X(echoFault, 5, (In, BSTR, inputString), (Retval, BSTR, pResult))                  \
  X(addTo, 6, (In, LONG, delta), (InOut, LONG, total), (Retval, LONG, pResult))      \
  X(twoOuts, 7, (Out, BSTR, b), (Out, BSTR, a))                                      \
  X(readList, 8, (Out, VARIANT, list), (Retval, VARIANT_BOOL, pResult))              \
  X(readName, 9, (Out, BSTR, name), (Retval, VARIANT_BOOL, pResult))
inline constexpr IID IID_ITestEcho =  // {5B7F2C10-1A2B-4C3D-8E4F-0A1B2C3D4E04}
    {0x5B7F2C10, 0x1A2B, 0x4C3D, {0x8E, 0x4F, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x04}};
QV_DISPATCH_INTERFACE(ITestEcho, IID_ITestEcho, QV_ITESTECHO_METHODS)

// SOAP 1.2 GET: the document handler's call, and an operation reached by
// RPC-by-GET, whose arguments are the rest of the path and the query.
#define QV_ITESTGET_METHODS(X)                                                          \
  X(OnProcessSoapGet, 1, (In, DISPATCH, SOAPMsgInterface), (In, BSTR, bstrSvcURI),      \
    (In, BSTR, bstrExtraPath), (In, BSTR, bstrQueryString), (Retval, VARIANT, pResult)) \
  X(where, 2, (In, BSTR, bstrExtraPath), (In, BSTR, bstrQueryString), (Retval, BSTR, pResult))
inline constexpr IID IID_ITestGet =  // {5B7F2C10-1A2B-4C3D-8E4F-0A1B2C3D4E05}
    {0x5B7F2C10, 0x1A2B, 0x4C3D, {0x8E, 0x4F, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x05}};
QV_DISPATCH_INTERFACE(ITestGet, IID_ITestGet, QV_ITESTGET_METHODS)

// What the plug-ins write into the message so a test sees which ran: one
// header block per OnProcessHeader call, in this namespace, named after the
// processor ("accept", "refuse", ...).
inline constexpr char16_t kTestTraceNamespace[] = u"urn:test:trace";
// The namespace of the mandatory blocks the accepting processors understand.
inline constexpr char16_t kTestKnownNamespace[] = u"urn:test:known";
