// ISoapStruct: the struct value of the automation interfaces. A struct holds
// named members, each optionally namespace-qualified and each a VARIANT, in
// the order in which they were added; it travels inside a VARIANT as
// VT_DISPATCH and a receiver tells it apart by querying for ISoapStruct.
// Create one with CoCreateInstance(CLSID_SoapStruct, ..., ISoapStruct::kIid).
//
// Every method returns S_OK and reports its outcome in pResult. Values go in
// and come out as copies (an interface with a reference of its own; a
// by-reference value is stored as the value it points at). Out values are
// written only on success; an out VARIANT must be initialised (it is cleared
// before it is written).
#pragma once

#include "platform/com/dispatch.h"

#define QV_ISOAPSTRUCT_METHODS(X)                                                        \
  /* the value of the first member named bstrName (any namespace) */                     \
  X(GetMember, 1, (In, BSTR, bstrName), (Out, VARIANT, pvarValue),                       \
    (Retval, VARIANT_BOOL, pResult))                                                     \
  /* replaces the value of the unqualified member bstrName, or appends one */            \
  X(SetMember, 2, (In, BSTR, bstrName), (In, VARIANT, varValue),                         \
    (Retval, VARIANT_BOOL, pResult))                                                     \
  X(GetMemberCount, 3, (Out, LONG, plCount), (Retval, VARIANT_BOOL, pResult))            \
  /* the namespace URI of the first member named bstrName */                             \
  X(GetMemberNamespace, 4, (In, BSTR, bstrName), (Out, BSTR, pbstrNamespaceURI),         \
    (Retval, VARIANT_BOOL, pResult))                                                     \
  /* removes the first member named bstrName */                                          \
  X(RemoveMember, 5, (In, BSTR, bstrName), (Retval, VARIANT_BOOL, pResult))              \
  /* appends a member; an empty namespace URI for none */                                \
  X(AddMember, 6, (In, BSTR, bstrName), (In, BSTR, bstrNamespaceURI),                    \
    (In, VARIANT, varValue), (Retval, VARIANT_BOOL, pResult))                            \
  /* the first member, and position 0; false when there is none */                       \
  X(GetFirstMember, 7, (Out, BSTR, pbstrName), (Out, BSTR, pbstrNamespaceURI),           \
    (Out, VARIANT, pvarValue), (Out, LONG, plPosition), (Retval, VARIANT_BOOL, pResult)) \
  /* the member after position *plPosition, which advances; false past the last */       \
  X(GetNextMember, 8, (Out, BSTR, pbstrName), (Out, BSTR, pbstrNamespaceURI),            \
    (Out, VARIANT, pvarValue), (InOut, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))

// Identities of the class and its interface; drawn at random once, never changed.
inline constexpr CLSID CLSID_SoapStruct =  // {44F434A1-DD6B-400F-A55B-7864B9C31DF1}
    {0x44F434A1, 0xDD6B, 0x400F, {0xA5, 0x5B, 0x78, 0x64, 0xB9, 0xC3, 0x1D, 0xF1}};
inline constexpr IID IID_ISoapStruct =  // {2B3B5922-EAB8-49D9-BAEC-821836EA0B61}
    {0x2B3B5922, 0xEAB8, 0x49D9, {0xBA, 0xEC, 0x82, 0x18, 0x36, 0xEA, 0x0B, 0x61}};
inline constexpr GUID LIBID_SoapStructLib =  // {C7E4E332-293E-48EC-9ADA-4456DBDC2F92}
    {0xC7E4E332, 0x293E, 0x48EC, {0x9A, 0xDA, 0x44, 0x56, 0xDB, 0xDC, 0x2F, 0x92}};
inline constexpr GUID APPID_soapstruct =  // {017066E7-3A66-46BF-AB71-590A519E70A9}
    {0x017066E7, 0x3A66, 0x46BF, {0xAB, 0x71, 0x59, 0x0A, 0x51, 0x9E, 0x70, 0xA9}};

QV_DISPATCH_INTERFACE(ISoapStruct, IID_ISoapStruct, QV_ISOAPSTRUCT_METHODS)

// Registration names of the class.
inline constexpr char kSoapStructProgId[] = "Quorvel.SoapStruct.1";
inline constexpr char kSoapStructIndependentProgId[] = "Quorvel.SoapStruct";
