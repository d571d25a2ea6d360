// Ipellasco2: the interop document test service's dual interface (class
// pellasco2), and the identities every creator and registrar shares.
// The values were drawn at random once and never change.
#pragma once

#include "platform/base/base.h"
#include "platform/com/dispatch.h"

inline constexpr CLSID CLSID_pellasco2 =  // {E2CEA926-DFB5-4F8D-9024-20259F6388C7}
    {0xE2CEA926, 0xDFB5, 0x4F8D, {0x90, 0x24, 0x20, 0x25, 0x9F, 0x63, 0x88, 0xC7}};
inline constexpr IID IID_Ipellasco2 =  // {B6FA1232-3A65-4204-A863-6564B7520A9C}
    {0xB6FA1232, 0x3A65, 0x4204, {0xA8, 0x63, 0x65, 0x64, 0xB7, 0x52, 0x0A, 0x9C}};
inline constexpr GUID LIBID_pellascoLib =  // {5C526685-3EDD-4CC9-A06F-2722A28FF656}
    {0x5C526685, 0x3EDD, 0x4CC9, {0xA0, 0x6F, 0x27, 0x22, 0xA2, 0x8F, 0xF6, 0x56}};
inline constexpr GUID APPID_pellasco =  // {38F83B8D-C3E4-4892-86E9-341CAE182468}
    {0x38F83B8D, 0xC3E4, 0x4892, {0x86, 0xE9, 0x34, 0x1C, 0xAE, 0x18, 0x24, 0x68}};

// Method order and dispatch ids are part of the contract; the server binds
// arguments by name.
#define QV_IPELLASCO2_METHODS(X) \
  X(OnProcessBody, 1, (In, VARIANT, SOAPMsgInterface), (Retval, VARIANT_BOOL, pResult))

QV_DISPATCH_INTERFACE(Ipellasco2, IID_Ipellasco2, QV_IPELLASCO2_METHODS)

// Registration names of the class.
inline constexpr char kPellascoProgId[] = "Pellasco2.interop.1";
inline constexpr char kPellascoIndependentProgId[] = "Pellasco2.interop";
inline constexpr char kPellascoDescription[] = "pellasco2 Class";
