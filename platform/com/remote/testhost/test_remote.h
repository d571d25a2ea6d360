// The test class served by the test local server, and the interface of the
// objects its callers hand it. Test tree only.
#pragma once

#include "platform/com/dispatch.h"

inline constexpr CLSID CLSID_TestRemote =  // {D4E1F7C7-93A1-4928-9CF8-93E09E3952EE}
    {0xD4E1F7C7, 0x93A1, 0x4928, {0x9C, 0xF8, 0x93, 0xE0, 0x9E, 0x39, 0x52, 0xEE}};
inline constexpr IID IID_ITestRemote =  // {4F9877D1-6235-4F3E-B9AC-31EB3C6FE7FD}
    {0x4F9877D1, 0x6235, 0x4F3E, {0xB9, 0xAC, 0x31, 0xEB, 0x3C, 0x6F, 0xE7, 0xFD}};
inline constexpr IID IID_ITestCaller =  // {955536FA-80A7-45D1-B1B9-F78F88BBC797}
    {0x955536FA, 0x80A7, 0x45D1, {0xB1, 0xB9, 0xF7, 0x8F, 0x88, 0xBB, 0xC7, 0x97}};

#define QV_ITESTREMOTE_METHODS(X)                                                        \
  X(Echo, 1, (In, BSTR, bstrText), (Retval, BSTR, pbstrResult))                          \
  X(GetProcessId, 2, (Retval, LONG, plPid))                                              \
  /* true when the call runs on the thread that registered the class */                  \
  X(OnLoopThread, 3, (Retval, VARIANT_BOOL, pResult))                                    \
  /* reads the caller's record, changes it, hands it back and leaves a note */           \
  X(VisitCaller, 4, (In, DISPATCH, pCaller), (Retval, VARIANT_BOOL, pResult))            \
  /* calls pPeer->Bounce(this, lDepth - 1) until the depth is spent */                   \
  X(Bounce, 5, (In, DISPATCH, pPeer), (In, LONG, lDepth), (Retval, LONG, plCount))       \
  X(Reflect, 6, (In, VARIANT, varValue), (Retval, VARIANT, pvarResult))                  \
  X(Twice, 7, (InOut, LONG, plValue), (InOut, BSTR, pbstrText), (Out, VARIANT, pvarOld)) \
  /* the host is killed while the call runs */                                           \
  X(Die, 8)                                                                              \
  /* reads the "Session" header block of pMessage (an Iquenlin2), adds a "Reply" */      \
  /* header block holding its Count plus one and sets a fault naming its Who */          \
  X(AnswerMessage, 9, (In, DISPATCH, pMessage), (Retval, VARIANT_BOOL, pResult))

QV_DISPATCH_INTERFACE(ITestRemote, IID_ITestRemote, QV_ITESTREMOTE_METHODS)

#define QV_ITESTCALLER_METHODS(X)                \
  X(GetName, 1, (Retval, BSTR, pbstrName))       \
  /* a SoapStruct */                             \
  X(GetRecord, 2, (Retval, VARIANT, pvarRecord)) \
  X(PutRecord, 3, (In, VARIANT, varRecord))      \
  X(AddNote, 4, (In, BSTR, bstrNote))            \
  X(Bounce, 5, (In, DISPATCH, pPeer), (In, LONG, lDepth), (Retval, LONG, plCount))

QV_DISPATCH_INTERFACE(ITestCaller, IID_ITestCaller, QV_ITESTCALLER_METHODS)
