// Iquenlin2: the SOAP message object's dual interface (class quenlin2), and
// the identities every creator and registrar of the class shares.
//
// The server creates one object per request and hands it to every plug-in as
// VT_DISPATCH under the argument name SOAPMsgInterface; plug-ins read and
// change the message only through this interface. Every method returns S_OK
// unless it copies a VARIANT out (then the copy's status) and reports its
// outcome in pResult where it has one; an [in] VARIANT_BOOL is true only when
// it is exactly VARIANT_TRUE. Walks use a caller-held position: the First
// method writes 0, the Next method reads the last position and advances it.
// The GUID values were drawn at random once and never change.
#pragma once

#include "platform/base/base.h"
#include "platform/com/dispatch.h"

inline constexpr CLSID CLSID_quenlin2 =  // {639F1FC3-95C5-48D1-A5AF-563C865D592A}
    {0x639F1FC3, 0x95C5, 0x48D1, {0xA5, 0xAF, 0x56, 0x3C, 0x86, 0x5D, 0x59, 0x2A}};
inline constexpr IID IID_Iquenlin2 =  // {CB85C580-C9B3-480A-BFAF-D98C5C570C00}
    {0xCB85C580, 0xC9B3, 0x480A, {0xBF, 0xAF, 0xD9, 0x8C, 0x5C, 0x57, 0x0C, 0x00}};
inline constexpr GUID LIBID_quenlinLib =  // {4C1C0F53-2FA2-4709-ADA2-C3557117C62B}
    {0x4C1C0F53, 0x2FA2, 0x4709, {0xAD, 0xA2, 0xC3, 0x55, 0x71, 0x17, 0xC6, 0x2B}};
inline constexpr GUID APPID_quenlin =  // {CDA283CB-0426-449C-917F-7CA02F7DAC18}
    {0xCDA283CB, 0x0426, 0x449C, {0x91, 0x7F, 0x7C, 0xA0, 0x2F, 0x7D, 0xAC, 0x18}};

// Method order and dispatch ids 1 to 101 are part of the contract.
#define QV_IQUENLIN2_METHODS(X)                                                                    \
  X(Initialize, 1, (In, BSTR, bstrSvcName), (In, BSTR, bstrPortName), (In, BSTR, bstrNodeURI),     \
    (In, BSTR, bstrSOAPAction), (In, BSTR, bstrNextHopURL),                                        \
    (In, VARIANT_BOOL, bExplicitTypingEnabled), (In, VARIANT_BOOL, bNodeTypeEnabled),              \
    (In, DISPATCH, pIDispatch), (Retval, VARIANT_BOOL, pResult))                                   \
  X(Deserialize, 2, (Retval, VARIANT_BOOL, pResult))                                               \
  X(Serialize, 3, (Retval, VARIANT_BOOL, pResult))                                                 \
  X(IsSOAPFault, 4, (Retval, VARIANT_BOOL, pResult))                                               \
  X(GetNumHeaderElems, 5, (Out, LONG, plCount))                                                    \
  X(AddHeaderElem, 6, (In, BSTR, bstrNamespaceURI), (In, BSTR, bstrName),                          \
    (In, VARIANT, varContent), (In, VARIANT_BOOL, bMustUnderstand), (In, BSTR, bstrActorURI),      \
    (Retval, VARIANT_BOOL, pResult))                                                               \
  X(GetFirstHeaderElem, 7, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),                 \
    (Out, VARIANT, pvarContent), (Out, VARIANT_BOOL, pbMustUnderstand),                            \
    (Out, BSTR, pbstrActorURI), (Out, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))          \
  X(GetNextHeaderElem, 8, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),                  \
    (Out, VARIANT, pvarContent), (Out, VARIANT_BOOL, pbMustUnderstand),                            \
    (Out, BSTR, pbstrActorURI), (InOut, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))        \
  X(GetHeaderElem, 9, (In, BSTR, bstrNamespaceURI), (In, BSTR, bstrName),                          \
    (Out, VARIANT, pvarContent), (Retval, VARIANT_BOOL, pResult))                                  \
  X(GetNumMethodParams, 10, (Out, LONG, plCount))                                                  \
  X(AddMethodParam, 11, (In, BSTR, bstrNamespaceURI), (In, BSTR, bstrName),                        \
    (In, VARIANT, varContent), (In, VARIANT_BOOL, bIsInParam), (In, VARIANT_BOOL, bIsOutParam),    \
    (Retval, VARIANT_BOOL, pResult))                                                               \
  X(GetFirstMethodParam, 12, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),               \
    (Out, VARIANT, pvarContent), (Out, VARIANT_BOOL, pbIsInParam),                                 \
    (Out, VARIANT_BOOL, pbIsOutParam), (Out, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))   \
  X(GetNextMethodParam, 13, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),                \
    (Out, VARIANT, pvarContent), (Out, VARIANT_BOOL, pbIsInParam),                                 \
    (Out, VARIANT_BOOL, pbIsOutParam), (InOut, LONG, plPosition), (Retval, VARIANT_BOOL, pResult)) \
  X(ClearMethodParams, 14)                                                                         \
  X(ClearHeaderElems, 15)                                                                          \
  X(GetMethodNS, 16, (Out, BSTR, pbstrNS))                                                         \
  X(SetMethodNS, 17, (In, BSTR, bstrNS))                                                           \
  X(GetMethodName, 18, (Out, BSTR, pbstrName))                                                     \
  X(SetMethodName, 19, (In, BSTR, bstrName))                                                       \
  X(GetReturnValue, 20, (Out, VARIANT, pvarValue))                                                 \
  X(SetReturnValue, 21, (In, VARIANT, varValue))                                                   \
  X(GetSOAPAction, 22, (Out, BSTR, pbstrSOAPAction))                                               \
  X(SetSOAPAction, 23, (In, BSTR, bstrSOAPAction))                                                 \
  X(GetNodeURI, 24, (Out, BSTR, pbstrNodeURI))                                                     \
  X(SetNodeURI, 25, (In, BSTR, bstrNodeURI))                                                       \
  X(SetSOAPFault, 26, (In, BSTR, bstrFaultCode), (In, BSTR, bstrFaultCodeNS),                      \
    (In, BSTR, bstrFaultString), (In, VARIANT_BOOL, bNeedDetail), (Retval, VARIANT_BOOL, pResult)) \
  X(SetSOAP12Fault, 27, (In, BSTR, bstrCode), (In, BSTR, bstrCodeNS), (In, BSTR, bstrSubcode),     \
    (In, BSTR, bstrSubcodeNS), (In, BSTR, bstrReason), (In, BSTR, bstrReasonLangId),               \
    (Retval, VARIANT_BOOL, pResult))                                                               \
  X(AddSOAP12ReasonText, 28, (In, BSTR, bstrText), (In, BSTR, bstrLangId))                         \
  X(GetSOAP12ReasonText, 29, (In, BSTR, bstrLangId), (Out, BSTR, pbstrText),                       \
    (Retval, VARIANT_BOOL, pResult))                                                               \
  X(GetFirstSOAP12ReasonText, 30, (Out, BSTR, pbstrText), (Out, BSTR, pbstrLangId),                \
    (Out, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))                                      \
  X(GetNextSOAP12ReasonText, 31, (Out, BSTR, pbstrText), (Out, BSTR, pbstrLangId),                 \
    (InOut, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))                                    \
  X(GetNumFaultHeaderElems, 32, (Out, LONG, plCount))                                              \
  X(AddFaultHeaderElem, 33, (In, BSTR, bstrNamespaceURI), (In, BSTR, bstrName),                    \
    (In, VARIANT, varContent), (In, VARIANT_BOOL, bMustUnderstand), (In, BSTR, bstrActorURI),      \
    (Retval, VARIANT_BOOL, pResult))                                                               \
  X(GetFirstFaultHeaderElem, 34, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),           \
    (Out, VARIANT, pvarContent), (Out, VARIANT_BOOL, pbMustUnderstand),                            \
    (Out, BSTR, pbstrActorURI), (Out, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))          \
  X(GetNextFaultHeaderElem, 35, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),            \
    (Out, VARIANT, pvarContent), (Out, VARIANT_BOOL, pbMustUnderstand),                            \
    (Out, BSTR, pbstrActorURI), (InOut, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))        \
  X(ClearFaultHeaderElems, 36)                                                                     \
  X(GetNumFaultDetailElems, 37, (Out, LONG, plCount))                                              \
  X(AddFaultDetailElem, 38, (In, BSTR, bstrNamespaceURI), (In, BSTR, bstrName),                    \
    (In, VARIANT, varContent), (Retval, VARIANT_BOOL, pResult))                                    \
  X(GetFirstFaultDetailElem, 39, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),           \
    (Out, VARIANT, pvarContent), (Out, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))         \
  X(GetNextFaultDetailElem, 40, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),            \
    (Out, VARIANT, pvarContent), (InOut, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))       \
  X(ClearFaultDetailElems, 41)                                                                     \
  X(CheckMustUnderstand, 42, (Retval, VARIANT_BOOL, pResult))                                      \
  X(SetRequestPhase, 43, (In, VARIANT_BOOL, bFlag))                                                \
  X(IsRequestPhase, 44, (Retval, VARIANT_BOOL, pResult))                                           \
  X(GetBuffer, 45, (Out, VARIANT, pvarBuffer), (Retval, VARIANT_BOOL, pResult))                    \
  X(SetBuffer, 46, (In, VARIANT, varBuffer), (Retval, VARIANT_BOOL, pResult))                      \
  X(ClearSOAPFault, 47)                                                                            \
  X(GetNextHopURL, 48, (Out, BSTR, bstrNextHopURL))                                                \
  X(SetNextHopURL, 49, (In, BSTR, bstrNextHopURL))                                                 \
  X(IsIntermediary, 50, (Retval, VARIANT_BOOL, pResult))                                           \
  X(GetFaultDetailElem, 51, (In, BSTR, bstrNamespaceURI), (In, BSTR, bstrName),                    \
    (Out, VARIANT, pvarContent), (Retval, VARIANT_BOOL, pResult))                                  \
  X(GetSOAPFaultCode, 52, (Out, BSTR, bstrFaultCode))                                              \
  X(GetSOAPFaultCodeNS, 53, (Out, BSTR, bstrFaultCodeNS))                                          \
  X(GetSOAPFaultString, 54, (Out, BSTR, bstrFaultString))                                          \
  X(GetSOAPFaultNode, 55, (Out, BSTR, bstrFaultNode))                                              \
  X(GetServiceName, 56, (Out, BSTR, pbstrServiceName))                                             \
  X(GetPortName, 57, (Out, BSTR, pbstrPortName))                                                   \
  X(ProcessRPC, 58, (Retval, VARIANT_BOOL, pResult))                                               \
  X(IsRPCStyle, 59, (Retval, VARIANT_BOOL, pResult))                                               \
  X(GetNumHeaderElemsLiteral, 60, (Out, LONG, plCount))                                            \
  X(AddHeaderElemLiteral, 61, (In, BSTR, bstrNamespaceURI), (In, BSTR, bstrName),                  \
    (In, BSTR, bstrLiteralXML), (In, VARIANT_BOOL, bMustUnderstand), (In, BSTR, bstrActorURI),     \
    (In, BSTR, bstrEncodingStyle), (Retval, VARIANT_BOOL, pResult))                                \
  X(GetHeaderElemLiteral, 62, (In, BSTR, bstrNamespaceURI), (In, BSTR, bstrName),                  \
    (Out, BSTR, pbstrLiteralXML), (Retval, VARIANT_BOOL, pResult))                                 \
  X(GetFirstHeaderElemLiteral, 63, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),         \
    (Out, BSTR, pbstrLiteralXML), (Out, VARIANT_BOOL, pbMustUnderstand),                           \
    (Out, BSTR, pbstrActorURI), (Out, BSTR, pbstrEncodingStyle), (Out, LONG, plPosition),          \
    (Retval, VARIANT_BOOL, pResult))                                                               \
  X(GetNextHeaderElemLiteral, 64, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),          \
    (Out, BSTR, pbstrLiteralXML), (Out, VARIANT_BOOL, pbMustUnderstand),                           \
    (Out, BSTR, pbstrActorURI), (Out, BSTR, pbstrEncodingStyle), (InOut, LONG, plPosition),        \
    (Retval, VARIANT_BOOL, pResult))                                                               \
  X(GetNumFaultHeaderElemsLiteral, 65, (Out, LONG, plCount))                                       \
  X(AddFaultHeaderElemLiteral, 66, (In, BSTR, bstrNamespaceURI), (In, BSTR, bstrName),             \
    (In, BSTR, bstrLiteralXML), (In, VARIANT_BOOL, bMustUnderstand), (In, BSTR, bstrActorURI),     \
    (In, BSTR, bstrEncodingStyle), (Retval, VARIANT_BOOL, pResult))                                \
  X(GetFirstFaultHeaderElemLiteral, 67, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),    \
    (Out, BSTR, pbstrLiteralXML), (Out, VARIANT_BOOL, pbMustUnderstand),                           \
    (Out, BSTR, pbstrActorURI), (Out, BSTR, pbstrEncodingStyle), (Out, LONG, plPosition),          \
    (Retval, VARIANT_BOOL, pResult))                                                               \
  X(GetNextFaultHeaderElemLiteral, 68, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),     \
    (Out, BSTR, pbstrLiteralXML), (Out, VARIANT_BOOL, pbMustUnderstand),                           \
    (Out, BSTR, pbstrActorURI), (Out, BSTR, pbstrEncodingStyle), (InOut, LONG, plPosition),        \
    (Retval, VARIANT_BOOL, pResult))                                                               \
  X(SetBodyElemLiteral, 69, (In, BSTR, bstrLiteralXML), (In, BSTR, bstrEncodingStyle),             \
    (Retval, VARIANT_BOOL, pResult))                                                               \
  X(GetBodyElemLiteral, 70, (Out, BSTR, pbstrLiteralXML), (Retval, VARIANT_BOOL, pResult))         \
  X(IsNoContentResponse, 71, (Retval, VARIANT_BOOL, pResult))                                      \
  X(SetNoContentResponse, 72, (In, VARIANT_BOOL, bValue))                                          \
  X(GetPortAddress, 73, (Out, BSTR, pbstrAddress))                                                 \
  X(AddDIMEAttachmentReq, 74, (In, BSTR, bstrId), (In, BSTR, bstrType), (In, LONG, TNF),           \
    (In, UNKNOWN, pIUnknown), (In, VARIANT, Options), (Retval, VARIANT_BOOL, pResult))             \
  X(AddDIMEAttachmentResp, 75, (In, BSTR, bstrId), (In, BSTR, bstrType), (In, LONG, TNF),          \
    (In, UNKNOWN, pIUnknown), (In, VARIANT, Options), (Retval, VARIANT_BOOL, pResult))             \
  X(GetFirstDIMEAttachmentReq, 76, (Out, BSTR, pbstrId), (Out, BSTR, pbstrType),                   \
    (Out, LONG, pTNF), (Out, UNKNOWN, ppIUnknown), (Out, VARIANT, Options),                        \
    (Out, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))                                      \
  X(GetNextDIMEAttachmentReq, 77, (Out, BSTR, pbstrId), (Out, BSTR, pbstrType), (Out, LONG, pTNF), \
    (Out, UNKNOWN, ppIUnknown), (Out, VARIANT, Options), (InOut, LONG, plPosition),                \
    (Retval, VARIANT_BOOL, pResult))                                                               \
  X(GetFirstDIMEAttachmentResp, 78, (Out, BSTR, pbstrId), (Out, BSTR, pbstrType),                  \
    (Out, LONG, pTNF), (Out, UNKNOWN, ppIUnknown), (Out, VARIANT, Options),                        \
    (Out, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))                                      \
  X(GetNextDIMEAttachmentResp, 79, (Out, BSTR, pbstrId), (Out, BSTR, pbstrType),                   \
    (Out, LONG, pTNF), (Out, UNKNOWN, ppIUnknown), (Out, VARIANT, Options),                        \
    (InOut, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))                                    \
  X(GetDIMEAttachmentReq, 80, (In, BSTR, bstrId), (Out, BSTR, pbstrType), (Out, LONG, pTNF),       \
    (Out, UNKNOWN, ppIUnknown), (Out, VARIANT, Options), (Retval, VARIANT_BOOL, pResult))          \
  X(GetDIMEAttachmentResp, 81, (In, BSTR, bstrId), (Out, BSTR, pbstrType), (Out, LONG, pTNF),      \
    (Out, UNKNOWN, ppIUnknown), (Out, VARIANT, Options), (Retval, VARIANT_BOOL, pResult))          \
  X(GetNumReqAttachments, 82, (Out, LONG, pNbr))                                                   \
  X(GetNumRespAttachments, 83, (Out, LONG, pNbr))                                                  \
  X(GetSOAPVersion, 84, (Out, LONG, pVersion))                                                     \
  X(SetSOAPVersion, 85, (In, LONG, lVersion))                                                      \
  X(SetRoles, 86, (In, VARIANT, varRoles), (Retval, VARIANT_BOOL, pResult))                        \
  X(GetRoles, 87, (Out, VARIANT, pvarRoles))                                                       \
  X(GetMUHeaderBlocks, 88, (Out, VARIANT, pvarBlocks))                                             \
  X(AddHeaderElem12, 89, (In, BSTR, bstrNamespaceURI), (In, BSTR, bstrName),                       \
    (In, VARIANT, varContent), (In, VARIANT_BOOL, bMustUnderstand), (In, BSTR, bstrRoleURI),       \
    (In, VARIANT_BOOL, bRelay), (Retval, VARIANT_BOOL, pResult))                                   \
  X(GetFirstHeaderElem12, 90, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),              \
    (Out, VARIANT, pvarContent), (Out, VARIANT_BOOL, pbMustUnderstand), (Out, BSTR, pbstrRoleURI), \
    (Out, VARIANT_BOOL, pbRelay), (Out, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))        \
  X(GetNextHeaderElem12, 91, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),               \
    (Out, VARIANT, pvarContent), (Out, VARIANT_BOOL, pbMustUnderstand), (Out, BSTR, pbstrRoleURI), \
    (Out, VARIANT_BOOL, pbRelay), (InOut, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))      \
  X(AddHeaderElemLiteral12, 92, (In, BSTR, bstrNamespaceURI), (In, BSTR, bstrName),                \
    (In, BSTR, bstrLiteralXML), (In, VARIANT_BOOL, bMustUnderstand), (In, BSTR, bstrRoleURI),      \
    (In, VARIANT_BOOL, bRelay), (In, BSTR, bstrEncodingStyle), (Retval, VARIANT_BOOL, pResult))    \
  X(GetFirstHeaderElemLiteral12, 93, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),       \
    (Out, BSTR, pbstrLiteralXML), (Out, VARIANT_BOOL, pbMustUnderstand),                           \
    (Out, BSTR, pbstrRoleURI), (Out, VARIANT_BOOL, pbRelay), (Out, BSTR, pbstrEncodingStyle),      \
    (Out, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))                                      \
  X(GetNextHeaderElemLiteral12, 94, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),        \
    (Out, BSTR, pbstrLiteralXML), (Out, VARIANT_BOOL, pbMustUnderstand),                           \
    (Out, BSTR, pbstrRoleURI), (Out, VARIANT_BOOL, pbRelay), (Out, BSTR, pbstrEncodingStyle),      \
    (InOut, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))                                    \
  X(AddFaultHeaderElem12, 95, (In, BSTR, bstrNamespaceURI), (In, BSTR, bstrName),                  \
    (In, VARIANT, varContent), (In, VARIANT_BOOL, bMustUnderstand), (In, BSTR, bstrRoleURI),       \
    (In, VARIANT_BOOL, bRelay), (Retval, VARIANT_BOOL, pResult))                                   \
  X(GetFirstFaultHeaderElem12, 96, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),         \
    (Out, VARIANT, pvarContent), (Out, VARIANT_BOOL, pbMustUnderstand), (Out, BSTR, pbstrRoleURI), \
    (Out, VARIANT_BOOL, pbRelay), (Out, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))        \
  X(GetNextFaultHeaderElem12, 97, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),          \
    (Out, VARIANT, pvarContent), (Out, VARIANT_BOOL, pbMustUnderstand), (Out, BSTR, pbstrRoleURI), \
    (Out, VARIANT_BOOL, pbRelay), (InOut, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))      \
  X(AddFaultHeaderElemLiteral12, 98, (In, BSTR, bstrNamespaceURI), (In, BSTR, bstrName),           \
    (In, BSTR, bstrLiteralXML), (In, VARIANT_BOOL, bMustUnderstand), (In, BSTR, bstrRoleURI),      \
    (In, VARIANT_BOOL, bRelay), (In, BSTR, bstrEncodingStyle), (Retval, VARIANT_BOOL, pResult))    \
  X(GetFirstFaultHeaderElemLiteral12, 99, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),  \
    (Out, BSTR, pbstrLiteralXML), (Out, VARIANT_BOOL, pbMustUnderstand),                           \
    (Out, BSTR, pbstrRoleURI), (Out, VARIANT_BOOL, pbRelay), (Out, BSTR, pbstrEncodingStyle),      \
    (Out, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))                                      \
  X(GetNextFaultHeaderElemLiteral12, 100, (Out, BSTR, pbstrNamespaceURI), (Out, BSTR, pbstrName),  \
    (Out, BSTR, pbstrLiteralXML), (Out, VARIANT_BOOL, pbMustUnderstand),                           \
    (Out, BSTR, pbstrRoleURI), (Out, VARIANT_BOOL, pbRelay), (Out, BSTR, pbstrEncodingStyle),      \
    (InOut, LONG, plPosition), (Retval, VARIANT_BOOL, pResult))                                    \
  X(ProcessRPCGet, 101, (In, BSTR, bstrSvcURI), (In, BSTR, bstrExtraPath),                         \
    (In, BSTR, bstrQueryString), (Retval, VARIANT_BOOL, pResult))

QV_DISPATCH_INTERFACE(Iquenlin2, IID_Iquenlin2, QV_IQUENLIN2_METHODS)

// The message class's in-process side door for its server: whether the
// forward to the message's next hop failed (nothing was sent, or no usable
// reply came back), so that response-phase processors learn it from the
// message itself rather than from the wording of the server's fault. Set by
// the server where it turns the failure into its fault; false until then.
class IquenlinForwardStatus : public IUnknown {
 public:
  static constexpr IID kIid =  // {5884E24C-8F52-4C85-96CF-BA726E828BCF}
      {0x5884E24C, 0x8F52, 0x4C85, {0x96, 0xCF, 0xBA, 0x72, 0x6E, 0x82, 0x8B, 0xCF}};

  virtual HRESULT SetForwardFailed(VARIANT_BOOL bFailed) = 0;
  virtual HRESULT IsForwardFailed(VARIANT_BOOL* pResult) = 0;
};

// Registration names of the class.
inline constexpr char kQuenlinProgId[] = "braskel.quenlin2.1";
inline constexpr char kQuenlinIndependentProgId[] = "braskel.quenlin2";
inline constexpr char kQuenlinDescription[] = "quenlin2 Class";
