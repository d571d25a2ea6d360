#include "message/xsd_types.h"

#include <map>

#include "platform/com/variant.h"

namespace message {

namespace {

const std::map<std::u16string_view, int>& TypeMap() {
  static const std::map<std::u16string_view, int> map = {
      {u"unsignedByte", VT_UI1},
      {u"byte", VT_I1},
      {u"short", VT_I2},
      {u"unsignedShort", VT_UI2},
      {u"integer", VT_I4},
      {u"int", VT_I4},
      {u"unsignedInt", VT_UI4},
      {u"long", VT_I4},  // 32-bit, as the interfaces carry it
      {u"unsignedLong", VT_UI4},
      {u"float", VT_R4},
      {u"double", VT_R8},
      {u"decimal", VT_DECIMAL},
      {u"string", VT_BSTR},
      {u"anyType", kTypeAny},
      {u"ur-type", kTypeAny},
      {u"anyURI", kTypeAnyUri},
      {u"date", kTypeDate},
      {u"time", kTypeTime},
      {u"timeInstant", kTypeDateTime},
      {u"dateTime", kTypeDateTime},
      {u"base64", kTypeBase64},
      {u"base64Binary", kTypeBase64},
      {u"hexBinary", kTypeHex},
      {u"boolean", kTypeBoolean},
  };
  return map;
}

}  // namespace

bool LookupXsdType(std::u16string_view local_name, int* code) {
  const auto& map = TypeMap();
  auto it = map.find(local_name);
  if (it == map.end()) return false;
  *code = it->second;
  return true;
}

}  // namespace message
