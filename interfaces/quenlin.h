// The message object (class quenlin2, interface Iquenlin2): the identities
// every creator and registrar of the class shares.
// The values were drawn at random once and never change.
#pragma once

#include "platform/base/base.h"

inline constexpr CLSID CLSID_quenlin2 =  // {639F1FC3-95C5-48D1-A5AF-563C865D592A}
    {0x639F1FC3, 0x95C5, 0x48D1, {0xA5, 0xAF, 0x56, 0x3C, 0x86, 0x5D, 0x59, 0x2A}};
inline constexpr IID IID_Iquenlin2 =  // {CB85C580-C9B3-480A-BFAF-D98C5C570C00}
    {0xCB85C580, 0xC9B3, 0x480A, {0xBF, 0xAF, 0xD9, 0x8C, 0x5C, 0x57, 0x0C, 0x00}};
inline constexpr GUID LIBID_quenlinLib =  // {4C1C0F53-2FA2-4709-ADA2-C3557117C62B}
    {0x4C1C0F53, 0x2FA2, 0x4709, {0xAD, 0xA2, 0xC3, 0x55, 0x71, 0x17, 0xC6, 0x2B}};
inline constexpr GUID APPID_quenlin =  // {CDA283CB-0426-449C-917F-7CA02F7DAC18}
    {0xCDA283CB, 0x0426, 0x449C, {0x91, 0x7F, 0x7C, 0xA0, 0x2F, 0x7D, 0xAC, 0x18}};
