// FakeDorvish: a WSDL reader for tests whose answers come from tables the
// test fills. Every question it has no row for is answered false, as the real
// reader answers for something the document does not describe.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "interfaces/dorvish.h"
#include "platform/com/object.h"

namespace message::testing {

#define QV_FAKE_DORVISH_FALSE(name, dispid, ...)                   \
  HRESULT name(QV_FOR_EACH(QV_PARAM_DECL, __VA_ARGS__)) override { \
    *pResult = VARIANT_FALSE;                                      \
    return S_OK;                                                   \
  }

// Every method answers false. The generated parameters go unread.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
class DorvishDefaults : public com::Dispatch<Idorvish2> {
 public:
  QV_IDORVISH2_METHODS(QV_FAKE_DORVISH_FALSE)
};
#pragma GCC diagnostic pop

#undef QV_FAKE_DORVISH_FALSE

struct TypeRef {
  std::u16string name;
  std::u16string ns;
};

struct LiteralArrayType {
  TypeRef item_type;
  TypeRef item_element;
};

// Keys join their parts with '|': Key({"op", "name", "ns"}).
std::u16string Key(std::initializer_list<std::u16string_view> parts);

struct FakeWsdl {
  bool has_binding = true;
  std::u16string binding_version;  // a WSDL SOAP binding namespace
  std::u16string binding_style = u"rpc";
  std::map<std::u16string, TypeRef> complex_base;    // Key({type, ns})
  std::map<std::u16string, TypeRef> struct_members;  // Key({struct, ns, member, member ns})
  std::map<std::u16string, TypeRef> array_types;     // Key({array, ns}) -> item type
  std::map<std::u16string, long> array_dims;         // Key({array, ns})
  std::map<std::u16string, LiteralArrayType> literal_arrays;         // Key({array, ns})
  std::map<std::u16string, TypeRef> header_elem_types;               // Key({name, ns})
  std::map<std::u16string, TypeRef> input_header_types;              // Key({op, name, ns})
  std::map<std::u16string, TypeRef> output_header_types;             // Key({op, name, ns})
  std::map<std::u16string, std::u16string> input_header_encodings;   // Key({op, name, ns})
  std::map<std::u16string, std::u16string> output_header_encodings;  // Key({op, name, ns})
  std::map<std::u16string, TypeRef> fault_detail_types;              // Key({op, name, ns})
  std::map<std::u16string, std::u16string> fault_detail_uses;        // Key({op, name, ns})
  std::map<std::u16string, std::u16string> fault_detail_encodings;   // Key({op, name, ns})
  std::map<std::u16string, TypeRef> input_parts;                     // Key({op, part})
  std::map<std::u16string, TypeRef> output_parts;                    // Key({op, part})
  std::map<std::u16string, long> parameter_order;                    // Key({op, param})
  std::map<std::u16string, long> output_part_order;                  // Key({op, part})
  std::map<std::u16string, std::u16string> input_uses;               // op
  std::map<std::u16string, std::u16string> output_uses;              // op
};

class FakeDorvish final : public com::ComObject<FakeDorvish, DorvishDefaults> {
 public:
  FakeWsdl wsdl;

  HRESULT GetSOAPBindingVersion(BSTR* pbstrVersionURI, VARIANT_BOOL* pResult) override;
  HRESULT GetSOAPBindingStyle(BSTR* pbstrStyle, VARIANT_BOOL* pResult) override;
  HRESULT GetComplexBaseType(BSTR bstrName, BSTR bstrNS, BSTR* pbstrBaseType, BSTR* pbstrBaseTypeNS,
                             VARIANT_BOOL* pResult) override;
  HRESULT GetStructMemberType(BSTR bstrStructName, BSTR bstrStructNS, BSTR bstrMemberName,
                              BSTR bstrMemberNS, BSTR* pbstrType, BSTR* pbstrTypeNS,
                              VARIANT_BOOL* pResult) override;
  HRESULT GetArrayType(BSTR bstrArrayName, BSTR bstrArrayNS, BSTR* pbstrType, BSTR* pbstrTypeNS,
                       VARIANT_BOOL* pResult) override;
  HRESULT GetArrayDims(BSTR bstrArrayName, BSTR bstrArrayNS, LONG* plDims,
                       VARIANT_BOOL* pResult) override;
  HRESULT GetArrayTypeLit(BSTR bstrArrayName, BSTR bstrArrayNS, BSTR* pbstrItemType,
                          BSTR* pbstrItemTypeNS, BSTR* pbstrItemName, BSTR* pbstrItemNS,
                          VARIANT_BOOL* pResult) override;
  HRESULT GetHeaderElemType(BSTR bstrElemName, BSTR bstrElemNS, BSTR* pbstrType, BSTR* pbstrTypeNS,
                            VARIANT_BOOL* pResult) override;
  HRESULT GetInputHeaderPartType(BSTR bstrOpName, BSTR bstrPartName, BSTR bstrPartNS,
                                 BSTR* pbstrType, BSTR* pbstrTypeNS,
                                 VARIANT_BOOL* pResult) override;
  HRESULT GetOutputHeaderPartType(BSTR bstrOpName, BSTR bstrPartName, BSTR bstrPartNS,
                                  BSTR* pbstrType, BSTR* pbstrTypeNS,
                                  VARIANT_BOOL* pResult) override;
  HRESULT GetInputHeaderPartEncStyle(BSTR bstrOpName, BSTR bstrPartName, BSTR bstrPartNS,
                                     BSTR* pbstrEncStyle, VARIANT_BOOL* pResult) override;
  HRESULT GetOutputHeaderPartEncStyle(BSTR bstrOpName, BSTR bstrPartName, BSTR bstrPartNS,
                                      BSTR* pbstrEncStyle, VARIANT_BOOL* pResult) override;
  HRESULT GetFaultDetailPartType(BSTR bstrOpName, BSTR bstrPartName, BSTR bstrPartNS,
                                 BSTR* pbstrType, BSTR* pbstrTypeNS,
                                 VARIANT_BOOL* pResult) override;
  HRESULT GetFaultDetailUse(BSTR bstrOpName, BSTR bstrPartName, BSTR bstrPartNS, BSTR* pbstrUse,
                            VARIANT_BOOL* pResult) override;
  HRESULT GetInputMsgPartType(BSTR bstrMethod, BSTR bstrPartName, BSTR* pbstrType,
                              BSTR* pbstrTypeNS, VARIANT_BOOL* pResult) override;
  HRESULT GetOutputMsgPartType(BSTR bstrMethod, BSTR bstrPartName, BSTR* pbstrType,
                               BSTR* pbstrTypeNS, VARIANT_BOOL* pResult) override;
  HRESULT GetMethodParamIndex(BSTR bstrMethod, BSTR bstrParam, LONG* plIndex,
                              VARIANT_BOOL* pResult) override;
  HRESULT GetOutputPartIndex(BSTR bstrMethod, BSTR bstrPartName, LONG* plIndex,
                             VARIANT_BOOL* pResult) override;
  HRESULT GetSOAPInputBodyUse(BSTR bstrOpName, BSTR* pbstrUse, VARIANT_BOOL* pResult) override;
  HRESULT GetSOAPOutputBodyUse(BSTR bstrOpName, BSTR* pbstrUse, VARIANT_BOOL* pResult) override;
  HRESULT GetFaultDetailEncStyle(BSTR bstrOpName, BSTR bstrPartName, BSTR bstrPartNS,
                                 BSTR* pbstrEncStyle, VARIANT_BOOL* pResult) override;
};

}  // namespace message::testing
