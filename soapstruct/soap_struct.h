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
#include "platform/com/guids.h"

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

QV_DISPATCH_INTERFACE(ISoapStruct, IID_ISoapStruct, QV_ISOAPSTRUCT_METHODS)

// Registration names of the class.
inline constexpr char kSoapStructProgId[] = "Quorvel.SoapStruct.1";
inline constexpr char kSoapStructIndependentProgId[] = "Quorvel.SoapStruct";
