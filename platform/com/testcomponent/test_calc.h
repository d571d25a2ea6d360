// A component used only by the tests of the automation runtime: a plug-in
// shaped class (header-processor methods) with methods over every parameter
// kind, built as a component library of its own and registered into a
// temporary registry.
#pragma once

#include "platform/com/dispatch.h"

inline constexpr CLSID CLSID_TestCalc = {
    0x5E0D7A51, 0x2C4B, 0x4F3A, {0x9B, 0x61, 0x0D, 0x7E, 0x3A, 0x44, 0x12, 0xC9}};
inline constexpr IID IID_ITestCalc = {
    0x9A4F2C10, 0x7D3E, 0x4B85, {0xA2, 0x9C, 0x51, 0x6E, 0x08, 0xB7, 0x3D, 0x42}};
inline constexpr char kTestCalcProgId[] = "QuorvelTest.Calc.1";
inline constexpr char kTestCalcIndependentProgId[] = "QuorvelTest.Calc";

// OnTestMUHeaderBlock accepts exactly this block.
inline constexpr char16_t kAcceptedNamespace[] = u"urn:quorvel-test";
inline constexpr char16_t kAcceptedLocalName[] = u"Block";

#define QV_ITESTCALC_METHODS(X)                                                           \
  /* true when the argument holds an object that answers IDispatch */                     \
  X(OnProcessHeader, 1, (In, VARIANT, SOAPMsgInterface), (Retval, VARIANT_BOOL, pResult)) \
  /* true only for kAcceptedNamespace and kAcceptedLocalName */                           \
  X(OnTestMUHeaderBlock, 2, (In, BSTR, bstrNamespace), (In, BSTR, bstrLocalName),         \
    (Retval, VARIANT_BOOL, pResult))                                                      \
  /* *pbstrJoined = first + "|" + second */                                               \
  X(Join, 3, (In, BSTR, bstrFirst), (In, BSTR, bstrSecond), (Out, BSTR, pbstrJoined),     \
    (Retval, VARIANT_BOOL, pResult))                                                      \
  /* *plValue += lDelta; false (value kept) on overflow */                                \
  X(AddTo, 4, (In, LONG, lDelta), (InOut, LONG, plValue), (Retval, VARIANT_BOOL, pResult)) \
  /* the type tag of the value, and the value as text */                                  \
  X(Describe, 5, (In, VARIANT, varValue), (Out, BSTR, pbstrText), (Retval, LONG, plType)) \
  /* replaces *pvarValue by its text doubled ("ab" -> "abab"), or by -n for numbers */    \
  X(Twice, 6, (InOut, VARIANT, pvarValue), (Retval, VARIANT_BOOL, pResult))               \
  /* writes nothing and returns S_OK */                                                   \
  X(LeaveAlone, 7, (Out, BSTR, pbstrText), (Out, LONG, plNumber),                         \
    (Retval, VARIANT_BOOL, pResult))                                                      \
  /* returns lCode as its HRESULT */                                                      \
  X(Fail, 8, (In, LONG, lCode))                                                           \
  /* mixed scalar kinds */                                                                \
  X(Scale, 9, (In, DOUBLE, dFactor), (In, INT, nValue), (In, VARIANT_BOOL, bRound),       \
    (Out, DOUBLE, pdScaled), (Out, SHORT, psSign), (Retval, DATE, pdtWhen))               \
  /* keeps an object and hands it back */                                                 \
  X(Exchange, 10, (In, DISPATCH, pIn), (Out, UNKNOWN, ppOut), (Retval, LONG, plCalls))

QV_DISPATCH_INTERFACE(ITestCalc, IID_ITestCalc, QV_ITESTCALC_METHODS)
