// The SOAP 1.2 test service: echoOk and the two fault requests by POST at the
// endpoint's own path, and the time of day by GET of "/getTime". It always
// answers in SOAP 1.2.
#pragma once

#include <ctime>
#include <string>

#include "interfaces/orsquel.h"
#include "interfaces/quenlin.h"
#include "platform/com/object.h"
#include "xml/xml_element.h"

namespace testsvc {

// Appends "hh:mm:ssZ" of `time` in UTC to the element's text; false (nothing
// appended) when the time cannot be converted.
bool FormatTimeOfDay(std::time_t time, xml::XmlElement& element);

class Orsquel final : public com::ComObject<Orsquel, com::Dispatch<Iorsquel>> {
 public:
  HRESULT OnProcessSoapPost(VARIANT SOAPMsgInterface, BSTR bstrSvcURI, BSTR bstrExtraPath,
                            VARIANT_BOOL* pResult) override;
  HRESULT OnProcessSoapGet(VARIANT SOAPMsgInterface, BSTR bstrSvcURI, BSTR bstrExtraPath,
                           BSTR bstrQueryString, VARIANT_BOOL* pResult) override;

  bool ProcessPostRequest(Iquenlin2& message);
  bool ProcessGetRequest(Iquenlin2& message);

 private:
  std::u16string svcUri_;
  std::u16string extraPath_;
  std::u16string queryString_;
  bool echoFound_ = false;
  bool senderFaultAsked_ = false;
  bool receiverFaultAsked_ = false;
  bool badEncoding_ = false;
  std::u16string echoText_;
};

}  // namespace testsvc
