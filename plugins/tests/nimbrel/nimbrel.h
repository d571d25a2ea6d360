// The SOAP 1.2 test header processor: understands the test collection's
// echoOk and concatAndForwardEchoOk blocks, answers a kept echoOk with a
// responseOk block, forwards the two joined arguments to node C, and
// upper-cases an interoperability echoString body on its way. One instance
// serves the request and the response phase of one message; a false result is
// its only sign of failure (it never writes a fault).
#pragma once

#include <string>
#include <string_view>

#include "interfaces/nimbrel.h"
#include "interfaces/quenlin.h"
#include "platform/com/object.h"
#include "xml/xml_element.h"

namespace testsvc {

// True when the element carries, first found of 2001 xsi:nil, 1999 xsi:null
// and 2000/10 xsi:nil, one whose value is exactly "true" or "1".
bool IsNil(const xml::XmlElement& element);

class Nimbrel final : public com::ComObject<Nimbrel, com::Dispatch<Inimbrel>> {
 public:
  HRESULT OnProcessHeader(VARIANT SOAPMsgInterface, VARIANT_BOOL* pResult) override;
  HRESULT OnTestMUHeaderBlock(BSTR bstrNamespace, BSTR bstrLocalName,
                              VARIANT_BOOL* pResult) override;

  bool ProcessRequest(Iquenlin2& message);
  bool ProcessResponse(Iquenlin2& message);
  // Rewrites an echoString body; any failure leaves the body as it was.
  void RewriteEchoString(Iquenlin2& message);

 private:
  // Reads both arguments of concatAndForwardEchoOk into the instance; false
  // when a call or a load failed (argument 2 is then not read when argument
  // 1 failed).
  bool CollectArguments(Iquenlin2& message);
  void RewriteBody(Iquenlin2& message);

  bool failed_ = false;
  bool echoKept_ = false;
  std::u16string echoText_;
  bool arg1Kept_ = false;
  std::u16string arg1Text_;
  bool arg2Kept_ = false;
  std::u16string arg2Text_;
};

}  // namespace testsvc
