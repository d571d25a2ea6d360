// The WS-Routing header processor hastrel2: the identities every creator and
// registrar shares.
// The values were drawn at random once and never change.
#pragma once

#include "platform/base/base.h"
#include "platform/com/dispatch.h"

inline constexpr CLSID CLSID_hastrel2 =  // {3BCF3EE8-A160-4DB1-AA5C-FCA8AC020835}
    {0x3BCF3EE8, 0xA160, 0x4DB1, {0xAA, 0x5C, 0xFC, 0xA8, 0xAC, 0x02, 0x08, 0x35}};
inline constexpr IID IID_Ihastrel2 =  // {E0F87B2B-1DD6-41A3-9C0D-E379DFC16603}
    {0xE0F87B2B, 0x1DD6, 0x41A3, {0x9C, 0x0D, 0xE3, 0x79, 0xDF, 0xC1, 0x66, 0x03}};
inline constexpr GUID LIBID_hastrelLib =  // {F657C429-D0FF-439F-9380-E8D596214D7C}
    {0xF657C429, 0xD0FF, 0x439F, {0x93, 0x80, 0xE8, 0xD5, 0x96, 0x21, 0x4D, 0x7C}};
inline constexpr GUID APPID_hastrel =  // {9DF117F1-F4CD-46D4-BD91-40E8E1575A0E}
    {0x9DF117F1, 0xF4CD, 0x46D4, {0xBD, 0x91, 0x40, 0xE8, 0xE1, 0x57, 0x5A, 0x0E}};

// Ihastrel2: the header-processor contract. OnProcessHeader takes the message
// object (VT_DISPATCH or VT_UNKNOWN, by reference read through) and answers
// E_FAIL when it is no usable message; otherwise S_OK with pResult exactly
// VARIANT_TRUE or VARIANT_FALSE. OnTestMUHeaderBlock is true for the path
// block only. Callers bind by name.
#define QV_IHASTREL2_METHODS(X)                                                         \
  X(OnProcessHeader, 1, (In, VARIANT, SOAPMsgInterface), (Retval, VARIANT_BOOL, pResult)) \
  X(OnTestMUHeaderBlock, 2, (In, BSTR, bstrNamespace), (In, BSTR, bstrLocalName),       \
    (Retval, VARIANT_BOOL, pResult))

QV_DISPATCH_INTERFACE(Ihastrel2, IID_Ihastrel2, QV_IHASTREL2_METHODS)

// Registration names of the class.
inline constexpr char kHastrelDescription[] = "hastrel2 Class";
inline constexpr char kHastrelProgId[] = "braskel.hastrel2";
inline constexpr char kHastrelVersionedProgId[] = "braskel.hastrel2.1";
