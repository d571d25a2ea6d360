// Inimbrel: the SOAP 1.2 test header processor's dual interface (class
// nimbrel), and the identities every creator and registrar shares.
// The values were drawn at random once and never change.
#pragma once

#include "platform/base/base.h"
#include "platform/com/dispatch.h"

inline constexpr CLSID CLSID_nimbrel =  // {034BEFAF-DE69-4D8E-963F-175A93AC4C58}
    {0x034BEFAF, 0xDE69, 0x4D8E, {0x96, 0x3F, 0x17, 0x5A, 0x93, 0xAC, 0x4C, 0x58}};
inline constexpr IID IID_Inimbrel =  // {BB0AF130-6E1D-489A-BEF2-61585E474489}
    {0xBB0AF130, 0x6E1D, 0x489A, {0xBE, 0xF2, 0x61, 0x58, 0x5E, 0x47, 0x44, 0x89}};
inline constexpr GUID LIBID_nimbrelLib =  // {38F4D7F6-CA31-4151-9878-A977B293CEDE}
    {0x38F4D7F6, 0xCA31, 0x4151, {0x98, 0x78, 0xA9, 0x77, 0xB2, 0x93, 0xCE, 0xDE}};
inline constexpr GUID APPID_nimbrel =  // {863F9CB8-339E-4CA4-BF19-4CB2256EC617}
    {0x863F9CB8, 0x339E, 0x4CA4, {0xBF, 0x19, 0x4C, 0xB2, 0x25, 0x6E, 0xC6, 0x17}};

// Method order and dispatch ids are part of the contract; the server binds
// arguments by name.
#define QV_INIMBREL_METHODS(X)                                                            \
  X(OnProcessHeader, 1, (In, VARIANT, SOAPMsgInterface), (Retval, VARIANT_BOOL, pResult)) \
  X(OnTestMUHeaderBlock, 2, (In, BSTR, bstrNamespace), (In, BSTR, bstrLocalName),         \
    (Retval, VARIANT_BOOL, pResult))

QV_DISPATCH_INTERFACE(Inimbrel, IID_Inimbrel, QV_INIMBREL_METHODS)

// Registration names of the class.
inline constexpr char kNimbrelProgId[] = "nimbor.doc.1";
inline constexpr char kNimbrelIndependentProgId[] = "nimbor.doc";
inline constexpr char kNimbrelDescription[] = "nimbrel Class";
