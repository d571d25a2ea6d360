// Idorvish2: the WSDL reader's dual interface, and the registration facts of
// its class dorvish2 that every creator relies on.
//
// A creator calls ReadServiceDesc once with a document URL and the service
// and port to bind to, then asks about that port's binding, its operations,
// their messages and parts, and the document's schema types. Every method
// returns S_OK and reports its outcome in pResult; [out] strings are written
// only on success (a null BSTR argument counts as the empty string).
#pragma once

#include "platform/com/dispatch.h"

#define QV_IDORVISH2_TYPE_OUT (Out, BSTR, pbstrType), (Out, BSTR, pbstrTypeNS)
#define QV_IDORVISH2_PART_IN (In, BSTR, bstrOpName), (In, BSTR, bstrPartName), (In, BSTR, bstrPartNS)

#define QV_IDORVISH2_METHODS(X)                                                                 \
  X(ReadServiceDesc, 1, (In, BSTR, bstrSvcName), (In, BSTR, bstrPortName),                      \
    (In, BSTR, bstrFileURL), (Retval, VARIANT_BOOL, pResult))                                   \
  X(GetMethodSOAPAction, 2, (In, BSTR, bstrMethod), (Out, BSTR, pbstrSOAPAction),               \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetMethodNamespaceURI, 3, (In, BSTR, bstrMethod), (Out, BSTR, pbstrMethodNS),               \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetSOAPAddress, 4, (Out, BSTR, pbstrHost), (Out, BSTR, pbstrURI), (Out, INT, pnPortNbr),    \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetSOAPInputBodyUse, 5, (In, BSTR, bstrOpName), (Out, BSTR, pbstrUse),                      \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetSOAPOutputBodyUse, 6, (In, BSTR, bstrOpName), (Out, BSTR, pbstrUse),                     \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetSOAPInputBodyEncStyle, 7, (In, BSTR, bstrOpName), (Out, BSTR, pbstrEncStyle),            \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetSOAPOutputBodyEncStyle, 8, (In, BSTR, bstrOpName), (Out, BSTR, pbstrEncStyle),           \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetSOAPBindingStyle, 9, (Out, BSTR, pbstrStyle), (Retval, VARIANT_BOOL, pResult))           \
  X(GetSOAPBindingTransport, 10, (Out, BSTR, pbstrTransport), (Retval, VARIANT_BOOL, pResult))  \
  X(GetMethodNamesBySOAPAction, 11, (In, BSTR, bstrSOAPAction), (Out, BSTR, pbstrMethod),       \
    (Out, BSTR, pbstrMethodNS), (Retval, VARIANT_BOOL, pResult))                                \
  X(IsMethodParam, 12, (In, BSTR, bstrMethod), (In, BSTR, bstrParam),                           \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetInputMsgPartType, 13, (In, BSTR, bstrMethod), (In, BSTR, bstrPartName),                  \
    QV_IDORVISH2_TYPE_OUT, (Retval, VARIANT_BOOL, pResult))                                     \
  X(GetOutputMsgPartType, 14, (In, BSTR, bstrMethod), (In, BSTR, bstrPartName),                 \
    QV_IDORVISH2_TYPE_OUT, (Retval, VARIANT_BOOL, pResult))                                     \
  X(IsInputMsgPart, 15, (In, BSTR, bstrMethod), (In, BSTR, bstrPartName),                       \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(IsOutputMsgPart, 16, (In, BSTR, bstrMethod), (In, BSTR, bstrPartName),                      \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetFirstInParamName, 17, (In, BSTR, bstrMethod), (Out, BSTR, pbstrName),                    \
    (Out, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))                                   \
  X(GetNextInParamName, 18, (In, BSTR, bstrMethod), (Out, BSTR, pbstrName),                     \
    (InOut, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))                                 \
  X(GetFirstOutParamName, 19, (In, BSTR, bstrMethod), (Out, BSTR, pbstrName),                   \
    (Out, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))                                   \
  X(GetNextOutParamName, 20, (In, BSTR, bstrMethod), (Out, BSTR, pbstrName),                    \
    (InOut, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))                                 \
  X(GetHeaderElemType, 21, (In, BSTR, bstrElemName), (In, BSTR, bstrElemNS),                    \
    QV_IDORVISH2_TYPE_OUT, (Retval, VARIANT_BOOL, pResult))                                     \
  X(GetDefinitionsTNS, 22, (Out, BSTR, pbstrTNS), (Retval, VARIANT_BOOL, pResult))              \
  X(SetUserAgent, 23, (In, BSTR, bstrUserAgent), (Retval, VARIANT_BOOL, pResult))               \
  X(GetUserAgent, 24, (Out, BSTR, pbstrUserAgent), (Retval, VARIANT_BOOL, pResult))             \
  X(SetHTTPTimeout, 25, (In, INT, nPeriod), (Retval, VARIANT_BOOL, pResult))                    \
  X(SetHTTPHeaders, 26, (In, BSTR, bstrHeaders), (Retval, VARIANT_BOOL, pResult))               \
  X(GetStructMemberType, 27, (In, BSTR, bstrStructName), (In, BSTR, bstrStructNS),              \
    (In, BSTR, bstrMemberName), (In, BSTR, bstrMemberNS), QV_IDORVISH2_TYPE_OUT,                \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetComplexBaseType, 28, (In, BSTR, bstrName), (In, BSTR, bstrNS),                           \
    (Out, BSTR, pbstrBaseType), (Out, BSTR, pbstrBaseTypeNS), (Retval, VARIANT_BOOL, pResult))  \
  X(GetArrayType, 29, (In, BSTR, bstrArrayName), (In, BSTR, bstrArrayNS),                       \
    QV_IDORVISH2_TYPE_OUT, (Retval, VARIANT_BOOL, pResult))                                     \
  X(GetInputHeaderPartType, 30, QV_IDORVISH2_PART_IN, QV_IDORVISH2_TYPE_OUT,                    \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetOutputHeaderPartType, 31, QV_IDORVISH2_PART_IN, QV_IDORVISH2_TYPE_OUT,                   \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetInHeaderFaultPartType, 32, QV_IDORVISH2_PART_IN, QV_IDORVISH2_TYPE_OUT,                  \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetOutHeaderFaultPartType, 33, QV_IDORVISH2_PART_IN, QV_IDORVISH2_TYPE_OUT,                 \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetFaultDetailPartType, 34, QV_IDORVISH2_PART_IN, QV_IDORVISH2_TYPE_OUT,                    \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetArrayDims, 35, (In, BSTR, bstrArrayName), (In, BSTR, bstrArrayNS), (Out, LONG, plDims),  \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetOperationReturnType, 36, (In, BSTR, bstrMethod), (In, BSTR, bstrPartName),               \
    QV_IDORVISH2_TYPE_OUT, (Retval, VARIANT_BOOL, pResult))                                     \
  X(GetOperationBindingStyle, 37, (In, BSTR, bstrOpName), (Out, BSTR, pbstrStyle),              \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetMethodParamIndex, 38, (In, BSTR, bstrMethod), (In, BSTR, bstrParam),                     \
    (Out, LONG, plIndex), (Retval, VARIANT_BOOL, pResult))                                      \
  X(GetSOAPBindingVersion, 39, (Out, BSTR, pbstrVersionURI), (Retval, VARIANT_BOOL, pResult))   \
  X(GetInputHeaderPartEncStyle, 40, QV_IDORVISH2_PART_IN, (Out, BSTR, pbstrEncStyle),           \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetOutputHeaderPartEncStyle, 41, QV_IDORVISH2_PART_IN, (Out, BSTR, pbstrEncStyle),          \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetInHeaderFaultPartEncStyle, 42, QV_IDORVISH2_PART_IN, (Out, BSTR, pbstrEncStyle),         \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetOutHeaderFaultPartEncStyle, 43, QV_IDORVISH2_PART_IN, (Out, BSTR, pbstrEncStyle),        \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(SOAPActionRequired, 44, (In, BSTR, bstrOpName), (Out, VARIANT_BOOL, pbIsRequired),          \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetFaultDetailEncStyle, 45, QV_IDORVISH2_PART_IN, (Out, BSTR, pbstrEncStyle),               \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetFaultDetailUse, 46, QV_IDORVISH2_PART_IN, (Out, BSTR, pbstrUse),                         \
    (Retval, VARIANT_BOOL, pResult))                                                            \
  X(GetArrayTypeLit, 47, (In, BSTR, bstrArrayName), (In, BSTR, bstrArrayNS),                    \
    (Out, BSTR, pbstrItemType), (Out, BSTR, pbstrItemTypeNS), (Out, BSTR, pbstrItemName),       \
    (Out, BSTR, pbstrItemNS), (Retval, VARIANT_BOOL, pResult))                                 \
  X(GetOutputPartIndex, 48, (In, BSTR, bstrMethod), (In, BSTR, bstrPartName),                   \
    (Out, LONG, plIndex), (Retval, VARIANT_BOOL, pResult))

// Identities of the class and its interface; drawn at random once, never changed.
inline constexpr CLSID CLSID_dorvish2 =  // {6D0134B5-06FD-44A9-94D3-809FCCCB76F5}
    {0x6D0134B5, 0x06FD, 0x44A9, {0x94, 0xD3, 0x80, 0x9F, 0xCC, 0xCB, 0x76, 0xF5}};
inline constexpr IID IID_Idorvish2 =  // {8338763B-7B41-43B3-98F6-7D85608A0314}
    {0x8338763B, 0x7B41, 0x43B3, {0x98, 0xF6, 0x7D, 0x85, 0x60, 0x8A, 0x03, 0x14}};
inline constexpr GUID LIBID_dorvishLib =  // {2ADCDFD4-BF0B-4499-8378-357BD2C7FB57}
    {0x2ADCDFD4, 0xBF0B, 0x4499, {0x83, 0x78, 0x35, 0x7B, 0xD2, 0xC7, 0xFB, 0x57}};
inline constexpr GUID APPID_dorvish =  // {3F0D43FB-0AF4-4A4A-9D89-2794A19E2441}
    {0x3F0D43FB, 0x0AF4, 0x4A4A, {0x9D, 0x89, 0x27, 0x94, 0xA1, 0x9E, 0x24, 0x41}};

QV_DISPATCH_INTERFACE(Idorvish2, IID_Idorvish2, QV_IDORVISH2_METHODS)

// Registration names of the class.
inline constexpr char kDorvishProgId[] = "braskel.dorvish2.1";
inline constexpr char kDorvishIndependentProgId[] = "braskel.dorvish2";
inline constexpr char kDorvishDescription[] = "dorvish2 Class";
