// The exception of the DIME reader and writer. DimeMessage throws it by
// pointer (allocated with new); the code that catches it deletes it:
//
//   try { message.Deserialize(bytes, n); }
//   catch (dime::DIMEParserException* e) { ...; delete e; }
//
// It never crosses an automation boundary.
#pragma once

#include <string>
#include <utility>

namespace dime {

class DIMEParserException {
 public:
  explicit DIMEParserException(std::u16string key, std::string detail = {})
      : key_(std::move(key)), detail_(std::move(detail)) {}
  virtual ~DIMEParserException() = default;

  // The dotted error key, e.g. "Deserializer.ReadHeader.MsgStartBitNotSet".
  const std::u16string& Key() const { return key_; }
  // For limit and field-width errors, a diagnostic with the numbers
  // ("dime: record 3 data length 70000 exceeds limit 65536"); else empty.
  const std::string& Detail() const { return detail_; }

 private:
  std::u16string key_;
  std::string detail_;
};

}  // namespace dime
