// The digest-authentication header processor jorvex2, a local server in its
// own service: the identities every creator and registrar shares.
// The values were drawn at random once and never change.
#pragma once

#include "platform/base/base.h"
#include "platform/com/dispatch.h"

inline constexpr CLSID CLSID_jorvex2 =  // {494A9B00-E5E2-463D-83B7-E38911A3ACAE}
    {0x494A9B00, 0xE5E2, 0x463D, {0x83, 0xB7, 0xE3, 0x89, 0x11, 0xA3, 0xAC, 0xAE}};
inline constexpr IID IID_Ijorvex2 =  // {4AE6D9A5-A3A0-41FE-8F1F-32F4EB7CDD96}
    {0x4AE6D9A5, 0xA3A0, 0x41FE, {0x8F, 0x1F, 0x32, 0xF4, 0xEB, 0x7C, 0xDD, 0x96}};
inline constexpr GUID LIBID_jorvaneLib =  // {02567E97-96DA-411A-8DCE-13A96CFBC493}
    {0x02567E97, 0x96DA, 0x411A, {0x8D, 0xCE, 0x13, 0xA9, 0x6C, 0xFB, 0xC4, 0x93}};
inline constexpr GUID APPID_jorvane =  // {03D3F0FC-7114-415B-A722-276CA9B01315}
    {0x03D3F0FC, 0x7114, 0x415B, {0xA7, 0x22, 0x27, 0x6C, 0xA9, 0xB0, 0x13, 0x15}};

// Ijorvex2: the header-processor contract. OnProcessHeader takes the message
// object (VT_DISPATCH or VT_UNKNOWN) and answers E_FAIL, pResult unwritten,
// when it is no usable message; otherwise S_OK with pResult exactly
// VARIANT_TRUE or VARIANT_FALSE. OnTestMUHeaderBlock is true for the two
// request blocks of the digest namespace. Callers bind by name.
#define QV_IJORVEX2_METHODS(X)                                                         \
  X(OnProcessHeader, 1, (In, VARIANT, SOAPMsgInterface), (Retval, VARIANT_BOOL, pResult)) \
  X(OnTestMUHeaderBlock, 2, (In, BSTR, bstrNamespace), (In, BSTR, bstrLocalName),       \
    (Retval, VARIANT_BOOL, pResult))

QV_DISPATCH_INTERFACE(Ijorvex2, IID_Ijorvex2, QV_IJORVEX2_METHODS)

// Registration names of the class.
inline constexpr char kJorvexProgId[] = "jorvane.jorvex2";
inline constexpr char kJorvexVersionedProgId[] = "jorvane.jorvex2.1";
