// The SOAP encoding's array attributes (arrayType and offset in SOAP 1.1,
// itemType and arraySize in SOAP 1.2), read while an accessor is recorded.
// They fill the accessor's dims, offsets, declared count and item type and
// throw the Client/Sender faults of malformed values.
#pragma once

#include <string_view>

#include "message/accessor.h"
#include "xml/xml_element.h"

namespace message {

// Fault texts the decoder shares when it checks an array against its shape.
inline constexpr std::u16string_view kSizeConflict =
    u"Array size declared conflicts with actual size.";
inline constexpr std::u16string_view kImproperArray =
    u"Encountered improperly typed array accessor.";

void ParseArrayType(std::u16string_view value, const xml::XmlElement& element, Accessor& accessor);
void ParseItemType(std::u16string_view value, const xml::XmlElement& element, Accessor& accessor);
void ParseArraySize(std::u16string_view value, Accessor& accessor);
void ParseOffset(std::u16string_view value, Accessor& accessor);

}  // namespace message
