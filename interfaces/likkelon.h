// IlikkelonObj: the interop DIME echo test service's dual interface (class
// likkelonObj), and the identities every creator and registrar shares.
// The values were drawn at random once and never change.
#pragma once

#include "platform/base/base.h"
#include "platform/com/dispatch.h"

inline constexpr CLSID CLSID_likkelonObj =  // {B1EB09FD-4595-4859-AC53-EEA7408B87B9}
    {0xB1EB09FD, 0x4595, 0x4859, {0xAC, 0x53, 0xEE, 0xA7, 0x40, 0x8B, 0x87, 0xB9}};
inline constexpr IID IID_IlikkelonObj =  // {122C9322-E943-4C37-9DC9-066833457BA5}
    {0x122C9322, 0xE943, 0x4C37, {0x9D, 0xC9, 0x06, 0x68, 0x33, 0x45, 0x7B, 0xA5}};
inline constexpr GUID LIBID_likkelonLib =  // {A598ECED-2976-4495-A03A-51826D5B7F82}
    {0xA598ECED, 0x2976, 0x4495, {0xA0, 0x3A, 0x51, 0x82, 0x6D, 0x5B, 0x7F, 0x82}};
inline constexpr GUID APPID_likkelon =  // {E28CBEC9-72C9-45BD-B5AB-49BBAD2E3DFB}
    {0xE28CBEC9, 0x72C9, 0x45BD, {0xB5, 0xAB, 0x49, 0xBB, 0xAD, 0x2E, 0x3D, 0xFB}};

// Method order and dispatch ids are part of the contract; the server binds
// arguments by name.
#define QV_ILIKKELONOBJ_METHODS(X) \
  X(OnProcessBody, 1, (In, VARIANT, SOAPMsgInterface), (Retval, VARIANT_BOOL, pResult))

QV_DISPATCH_INTERFACE(IlikkelonObj, IID_IlikkelonObj, QV_ILIKKELONOBJ_METHODS)

// Registration names of the class.
inline constexpr char kLikkelonProgId[] = "tessaval.dimedoc.1";
inline constexpr char kLikkelonIndependentProgId[] = "tessaval.dimedoc";
inline constexpr char kLikkelonDescription[] = "likkelonObj Class";
