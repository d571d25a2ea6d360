// The interop document service: echoes a single tag, a simple text document
// or a whole element tree back to the client.
#pragma once

#include <string>

#include "interfaces/pellasco.h"
#include "interfaces/quenlin.h"
#include "platform/com/object.h"
#include "xml/xml_element.h"

namespace testsvc {

class Pellasco2 final : public com::ComObject<Pellasco2, com::Dispatch<Ipellasco2>> {
 public:
  HRESULT OnProcessBody(VARIANT SOAPMsgInterface, VARIANT_BOOL* pResult) override;

  // Answers the body's first known operation; false when the body cannot be
  // read.
  bool ProcessDocumentBody(Iquenlin2& message);

 private:
  bool singleTagFound_ = false;
  bool simpleDocumentFound_ = false;
  bool complexDocumentFound_ = false;
  std::u16string singleTagText_;
  std::u16string simpleDocumentText_;
  xml::XmlElementPtr complexDocument_;
};

}  // namespace testsvc
