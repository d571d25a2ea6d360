// Iorsquel: the SOAP 1.2 test service's dual interface (class orsquel), and
// the identities every creator and registrar shares.
// The values were drawn at random once and never change.
#pragma once

#include "platform/base/base.h"
#include "platform/com/dispatch.h"

inline constexpr CLSID CLSID_orsquel =  // {BF750C77-AD9F-4CAE-85B5-7E3D8EA1B0C8}
    {0xBF750C77, 0xAD9F, 0x4CAE, {0x85, 0xB5, 0x7E, 0x3D, 0x8E, 0xA1, 0xB0, 0xC8}};
inline constexpr IID IID_Iorsquel =  // {7CBCE111-7930-453E-AAEB-5D32D480D20A}
    {0x7CBCE111, 0x7930, 0x453E, {0xAA, 0xEB, 0x5D, 0x32, 0xD4, 0x80, 0xD2, 0x0A}};
inline constexpr GUID LIBID_orsquelLib =  // {8E29DADF-2DF5-4714-812B-14ADCB064167}
    {0x8E29DADF, 0x2DF5, 0x4714, {0x81, 0x2B, 0x14, 0xAD, 0xCB, 0x06, 0x41, 0x67}};
inline constexpr GUID APPID_orsquel =  // {C8A13889-AAE8-419A-A3A3-6584AC60E1D2}
    {0xC8A13889, 0xAAE8, 0x419A, {0xA3, 0xA3, 0x65, 0x84, 0xAC, 0x60, 0xE1, 0xD2}};

// Method order and dispatch ids are part of the contract; the server binds
// arguments by name.
#define QV_IORSQUEL_METHODS(X)                                                     \
  X(OnProcessSoapPost, 1, (In, VARIANT, SOAPMsgInterface), (In, BSTR, bstrSvcURI), \
    (In, BSTR, bstrExtraPath), (Retval, VARIANT_BOOL, pResult))                    \
  X(OnProcessSoapGet, 2, (In, VARIANT, SOAPMsgInterface), (In, BSTR, bstrSvcURI),  \
    (In, BSTR, bstrExtraPath), (In, BSTR, bstrQueryString), (Retval, VARIANT_BOOL, pResult))

QV_DISPATCH_INTERFACE(Iorsquel, IID_Iorsquel, QV_IORSQUEL_METHODS)

// Registration names of the class.
inline constexpr char kOrsquelProgId[] = "orsquin.doc.1";
inline constexpr char kOrsquelIndependentProgId[] = "orsquin.doc";
inline constexpr char kOrsquelDescription[] = "orsquel Class";
