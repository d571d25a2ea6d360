#include "message/testing/fake_dorvish.h"

namespace message::testing {

namespace {

HRESULT Answer(const std::map<std::u16string, TypeRef>& table, const std::u16string& key,
               BSTR* name, BSTR* ns, VARIANT_BOOL* result) {
  auto it = table.find(key);
  if (it == table.end()) {
    *result = VARIANT_FALSE;
    return S_OK;
  }
  *name = SysAllocString(it->second.name);
  *ns = SysAllocString(it->second.ns);
  *result = VARIANT_TRUE;
  return S_OK;
}

HRESULT Answer(const std::map<std::u16string, std::u16string>& table, const std::u16string& key,
               BSTR* text, VARIANT_BOOL* result) {
  auto it = table.find(key);
  if (it == table.end()) {
    *result = VARIANT_FALSE;
    return S_OK;
  }
  *text = SysAllocString(it->second);
  *result = VARIANT_TRUE;
  return S_OK;
}

}  // namespace

std::u16string Key(std::initializer_list<std::u16string_view> parts) {
  std::u16string key;
  bool first = true;
  for (std::u16string_view part : parts) {
    if (!first) key += u'|';
    first = false;
    key += part;
  }
  return key;
}

HRESULT FakeDorvish::GetSOAPBindingVersion(BSTR* pbstrVersionURI, VARIANT_BOOL* pResult) {
  *pResult = wsdl.has_binding ? VARIANT_TRUE : VARIANT_FALSE;
  if (wsdl.has_binding) *pbstrVersionURI = SysAllocString(wsdl.binding_version);
  return S_OK;
}

HRESULT FakeDorvish::GetSOAPBindingStyle(BSTR* pbstrStyle, VARIANT_BOOL* pResult) {
  *pbstrStyle = SysAllocString(wsdl.binding_style);
  *pResult = VARIANT_TRUE;
  return S_OK;
}

HRESULT FakeDorvish::GetComplexBaseType(BSTR bstrName, BSTR bstrNS, BSTR* pbstrBaseType,
                                        BSTR* pbstrBaseTypeNS, VARIANT_BOOL* pResult) {
  return Answer(wsdl.complex_base, Key({BstrView(bstrName), BstrView(bstrNS)}), pbstrBaseType,
                pbstrBaseTypeNS, pResult);
}

HRESULT FakeDorvish::GetStructMemberType(BSTR bstrStructName, BSTR bstrStructNS,
                                         BSTR bstrMemberName, BSTR bstrMemberNS, BSTR* pbstrType,
                                         BSTR* pbstrTypeNS, VARIANT_BOOL* pResult) {
  return Answer(wsdl.struct_members,
                Key({BstrView(bstrStructName), BstrView(bstrStructNS), BstrView(bstrMemberName),
                     BstrView(bstrMemberNS)}),
                pbstrType, pbstrTypeNS, pResult);
}

HRESULT FakeDorvish::GetArrayType(BSTR bstrArrayName, BSTR bstrArrayNS, BSTR* pbstrType,
                                  BSTR* pbstrTypeNS, VARIANT_BOOL* pResult) {
  return Answer(wsdl.array_types, Key({BstrView(bstrArrayName), BstrView(bstrArrayNS)}), pbstrType,
                pbstrTypeNS, pResult);
}

HRESULT FakeDorvish::GetArrayDims(BSTR bstrArrayName, BSTR bstrArrayNS, LONG* plDims,
                                  VARIANT_BOOL* pResult) {
  auto it = wsdl.array_dims.find(Key({BstrView(bstrArrayName), BstrView(bstrArrayNS)}));
  *pResult = it == wsdl.array_dims.end() ? VARIANT_FALSE : VARIANT_TRUE;
  if (it != wsdl.array_dims.end()) *plDims = static_cast<LONG>(it->second);
  return S_OK;
}

HRESULT FakeDorvish::GetArrayTypeLit(BSTR bstrArrayName, BSTR bstrArrayNS, BSTR* pbstrItemType,
                                     BSTR* pbstrItemTypeNS, BSTR* pbstrItemName, BSTR* pbstrItemNS,
                                     VARIANT_BOOL* pResult) {
  auto it = wsdl.literal_arrays.find(Key({BstrView(bstrArrayName), BstrView(bstrArrayNS)}));
  if (it == wsdl.literal_arrays.end()) {
    *pResult = VARIANT_FALSE;
    return S_OK;
  }
  *pbstrItemType = SysAllocString(it->second.item_type.name);
  *pbstrItemTypeNS = SysAllocString(it->second.item_type.ns);
  *pbstrItemName = SysAllocString(it->second.item_element.name);
  *pbstrItemNS = SysAllocString(it->second.item_element.ns);
  *pResult = VARIANT_TRUE;
  return S_OK;
}

HRESULT FakeDorvish::GetHeaderElemType(BSTR bstrElemName, BSTR bstrElemNS, BSTR* pbstrType,
                                       BSTR* pbstrTypeNS, VARIANT_BOOL* pResult) {
  return Answer(wsdl.header_elem_types, Key({BstrView(bstrElemName), BstrView(bstrElemNS)}),
                pbstrType, pbstrTypeNS, pResult);
}

#define QV_PART_KEY Key({BstrView(bstrOpName), BstrView(bstrPartName), BstrView(bstrPartNS)})

HRESULT FakeDorvish::GetInputHeaderPartType(BSTR bstrOpName, BSTR bstrPartName, BSTR bstrPartNS,
                                            BSTR* pbstrType, BSTR* pbstrTypeNS,
                                            VARIANT_BOOL* pResult) {
  return Answer(wsdl.input_header_types, QV_PART_KEY, pbstrType, pbstrTypeNS, pResult);
}

HRESULT FakeDorvish::GetOutputHeaderPartType(BSTR bstrOpName, BSTR bstrPartName, BSTR bstrPartNS,
                                             BSTR* pbstrType, BSTR* pbstrTypeNS,
                                             VARIANT_BOOL* pResult) {
  return Answer(wsdl.output_header_types, QV_PART_KEY, pbstrType, pbstrTypeNS, pResult);
}

HRESULT FakeDorvish::GetInputHeaderPartEncStyle(BSTR bstrOpName, BSTR bstrPartName, BSTR bstrPartNS,
                                                BSTR* pbstrEncStyle, VARIANT_BOOL* pResult) {
  return Answer(wsdl.input_header_encodings, QV_PART_KEY, pbstrEncStyle, pResult);
}

HRESULT FakeDorvish::GetOutputHeaderPartEncStyle(BSTR bstrOpName, BSTR bstrPartName,
                                                 BSTR bstrPartNS, BSTR* pbstrEncStyle,
                                                 VARIANT_BOOL* pResult) {
  return Answer(wsdl.output_header_encodings, QV_PART_KEY, pbstrEncStyle, pResult);
}

HRESULT FakeDorvish::GetFaultDetailPartType(BSTR bstrOpName, BSTR bstrPartName, BSTR bstrPartNS,
                                            BSTR* pbstrType, BSTR* pbstrTypeNS,
                                            VARIANT_BOOL* pResult) {
  return Answer(wsdl.fault_detail_types, QV_PART_KEY, pbstrType, pbstrTypeNS, pResult);
}

HRESULT FakeDorvish::GetFaultDetailUse(BSTR bstrOpName, BSTR bstrPartName, BSTR bstrPartNS,
                                       BSTR* pbstrUse, VARIANT_BOOL* pResult) {
  return Answer(wsdl.fault_detail_uses, QV_PART_KEY, pbstrUse, pResult);
}

HRESULT FakeDorvish::GetFaultDetailEncStyle(BSTR bstrOpName, BSTR bstrPartName, BSTR bstrPartNS,
                                            BSTR* pbstrEncStyle, VARIANT_BOOL* pResult) {
  return Answer(wsdl.fault_detail_encodings, QV_PART_KEY, pbstrEncStyle, pResult);
}

#undef QV_PART_KEY

HRESULT FakeDorvish::GetInputMsgPartType(BSTR bstrMethod, BSTR bstrPartName, BSTR* pbstrType,
                                         BSTR* pbstrTypeNS, VARIANT_BOOL* pResult) {
  return Answer(wsdl.input_parts, Key({BstrView(bstrMethod), BstrView(bstrPartName)}), pbstrType,
                pbstrTypeNS, pResult);
}

HRESULT FakeDorvish::GetOutputMsgPartType(BSTR bstrMethod, BSTR bstrPartName, BSTR* pbstrType,
                                          BSTR* pbstrTypeNS, VARIANT_BOOL* pResult) {
  return Answer(wsdl.output_parts, Key({BstrView(bstrMethod), BstrView(bstrPartName)}), pbstrType,
                pbstrTypeNS, pResult);
}

namespace {
HRESULT AnswerIndex(const std::map<std::u16string, long>& table, const std::u16string& key,
                    LONG* index, VARIANT_BOOL* result) {
  auto it = table.find(key);
  *result = it == table.end() ? VARIANT_FALSE : VARIANT_TRUE;
  if (it != table.end()) *index = it->second;
  return S_OK;
}
}  // namespace

HRESULT FakeDorvish::GetMethodParamIndex(BSTR bstrMethod, BSTR bstrParam, LONG* plIndex,
                                         VARIANT_BOOL* pResult) {
  return AnswerIndex(wsdl.parameter_order, Key({BstrView(bstrMethod), BstrView(bstrParam)}),
                     plIndex, pResult);
}

HRESULT FakeDorvish::GetOutputPartIndex(BSTR bstrMethod, BSTR bstrPartName, LONG* plIndex,
                                        VARIANT_BOOL* pResult) {
  return AnswerIndex(wsdl.output_part_order, Key({BstrView(bstrMethod), BstrView(bstrPartName)}),
                     plIndex, pResult);
}

HRESULT FakeDorvish::GetSOAPInputBodyUse(BSTR bstrOpName, BSTR* pbstrUse, VARIANT_BOOL* pResult) {
  return Answer(wsdl.input_uses, std::u16string(BstrView(bstrOpName)), pbstrUse, pResult);
}

HRESULT FakeDorvish::GetSOAPOutputBodyUse(BSTR bstrOpName, BSTR* pbstrUse, VARIANT_BOOL* pResult) {
  return Answer(wsdl.output_uses, std::u16string(BstrView(bstrOpName)), pbstrUse, pResult);
}

}  // namespace message::testing
