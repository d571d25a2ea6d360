#include "message/parsed_decoding.h"

#include <string>

#include "message/internal/faults.h"
#include "message/soap_message.h"
#include "message/value_decoder.h"
#include "xml/namespaces.h"

namespace message {

using internal::ThrowClient;

namespace {

std::u16string_view EncodingNamespace(int version) {
  return version == xml::kSoapVersion11 ? xml::kSoap11EncodingNamespace
                                        : xml::kSoap12EncodingNamespace;
}

}  // namespace

void DecodeHeaderBlocks(const MessageParser& parser, SoapMessage& message, Idorvish2* reader,
                        bool response) {
  const int version = parser.GetParsedVersion();
  const std::u16string_view expected = EncodingNamespace(version);
  const std::u16string op =
      parser.GetWrapper() ? parser.GetWrapper()->local_name.str() : message.GetMethodName();
  ValueDecoder decoder(parser, message, reader);
  const std::vector<AccessorPtr>& blocks = parser.GetHeaderAccessors();
  for (size_t index = 0; index < blocks.size(); ++index) {
    const Accessor& acc = *blocks[index];
    std::u16string encoding = acc.encoding_style;
    bool encoded = acc.has_encoding_style && (encoding.starts_with(xml::kSoap11EncodingNamespace) ||
                                              encoding == xml::kSoap12EncodingNamespace);
    if (!encoded && reader) {
      Bstr wsdl_encoding;
      VARIANT_BOOL ok = VARIANT_FALSE;
      Bstr op_b(op), name_b(acc.local_name), ns_b(acc.namespace_uri);
      HRESULT hr = response
                       ? reader->GetOutputHeaderPartEncStyle(op_b.Get(), name_b.Get(), ns_b.Get(),
                                                             wsdl_encoding.Receive(), &ok)
                       : reader->GetInputHeaderPartEncStyle(op_b.Get(), name_b.Get(), ns_b.Get(),
                                                            wsdl_encoding.Receive(), &ok);
      if (SUCCEEDED(hr) && ok == VARIANT_TRUE) {
        encoding = wsdl_encoding.View();
        encoded = true;
      }
    }
    if (encoded && reader) {
      if (encoding != expected && !encoding.starts_with(expected)) {
        const std::u16string text = internal::FormatName(
            response ? "Unsupported encodingStyle for header block: '%s' in Response message."
                     : "Unsupported encodingStyle for header block: '%s' in Request message.",
            acc.local_name);
        if (version == xml::kSoapVersion11) ThrowClient(text, false);
        internal::ThrowFault(xml::kFaultClient, u"DataEncodingUnknown",
                             xml::kSoap12EnvelopeNamespace, text, false);
      }
      Bstr type, type_ns;
      VARIANT_BOOL ok = VARIANT_FALSE;
      Bstr op_b(op), name_b(acc.local_name), ns_b(acc.namespace_uri);
      HRESULT hr = response
                       ? reader->GetOutputHeaderPartType(op_b.Get(), name_b.Get(), ns_b.Get(),
                                                         type.Receive(), type_ns.Receive(), &ok)
                       : reader->GetInputHeaderPartType(op_b.Get(), name_b.Get(), ns_b.Get(),
                                                        type.Receive(), type_ns.Receive(), &ok);
      if (FAILED(hr) || ok != VARIANT_TRUE) {
        ok = VARIANT_FALSE;
        hr = reader->GetHeaderElemType(name_b.Get(), ns_b.Get(), type.Receive(), type_ns.Receive(),
                                       &ok);
      }
      if (SUCCEEDED(hr) && ok == VARIANT_TRUE) {
        Variant value;
        decoder.DecodeEncoded(
            acc, type.View(), type_ns.View(), expected,
            ReferenceFaultText("Header block: '%s' has invalid reference.", acc.local_name),
            &value);
        if (!message.AddHeaderBlock(acc.namespace_uri, acc.local_name, value, acc.must_understand,
                                    acc.role, acc.relay, true)) {
          internal::ThrowFault(xml::kFaultServer, u"Internal error.", true);
        }
        continue;
      }
    }
    if (!message.AddParsedLiteralHeaderBlock(parser, parser.GetReceivedHeaderBlock(index),
                                             acc.namespace_uri, acc.local_name, acc.must_understand,
                                             acc.role, acc.relay,
                                             acc.has_encoding_style ? acc.encoding_style : u"")) {
      internal::ThrowFault(xml::kFaultServer, u"Internal error.", true);
    }
  }
  if (!response) {
    message.AddRole(version == xml::kSoapVersion11 ? kSoap11NextActor : kSoap12NextRole);
  }
}

void StoreParsedFault(const MessageParser& parser, SoapMessage& message, Idorvish2* reader) {
  if (!parser.GetFault()) return;
  const ParsedFault& fault = *parser.GetFault();
  const int version = parser.GetParsedVersion();
  if (version == xml::kSoapVersion11) {
    message.SetFault(fault.code, fault.code_namespace, fault.fault_string, fault.actor, false);
  } else {
    message.SetFault12(fault.code, fault.code_namespace, fault.subcode, fault.subcode_namespace,
                       fault.reasons, fault.actor, false);
  }
  // A fault read from a response is the peer's answer, not one to write back.
  message.SetWriteFaultBody(false);
  if (!fault.detail || !reader) return;

  const std::u16string_view expected = EncodingNamespace(version);
  ValueDecoder decoder(parser, message, reader);
  const Bstr op(message.GetMethodName());
  for (const AccessorPtr& child : fault.detail->children) {
    const Bstr name(child->local_name), ns(child->namespace_uri);
    Bstr type, type_ns, use;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (FAILED(reader->GetFaultDetailPartType(op.Get(), name.Get(), ns.Get(), type.Receive(),
                                              type_ns.Receive(), &ok)) ||
        ok != VARIANT_TRUE) {
      continue;
    }
    ok = VARIANT_FALSE;
    const bool encoded =
        SUCCEEDED(reader->GetFaultDetailUse(op.Get(), name.Get(), ns.Get(), use.Receive(), &ok)) &&
        ok == VARIANT_TRUE && use.View() == u"encoded";
    Variant value;
    try {
      if (encoded) {
        Bstr wsdl_encoding;
        ok = VARIANT_FALSE;
        reader->GetFaultDetailEncStyle(op.Get(), name.Get(), ns.Get(), wsdl_encoding.Receive(),
                                       &ok);
        if (child->has_encoding_style && ok == VARIANT_TRUE &&
            child->encoding_style != wsdl_encoding.View() &&
            !(version != xml::kSoapVersion11 &&
              child->encoding_style == u"http://www.w3.org/2003/05/soap-envelope/encoding/none")) {
          ThrowClient(u"Unsupported encodingStyle on fault detail element.", true);
        }
        decoder.DecodeEncoded(*child, type.View(), type_ns.View(), expected,
                              u"Encountered fault detail accessor with invalid reference.", &value);
      } else {
        decoder.DecodeLiteral(*child, type.View(), type_ns.View(), &value);
      }
    } catch (xml::QVSOAPFault* inner) {
      delete inner;
      ThrowClient(internal::FormatName("Failed to convert element: '%s' in Fault detail.",
                                       child->local_name),
                  false);
    }
    if (!message.AddFaultDetail(child->namespace_uri, child->local_name, value)) {
      internal::ThrowFault(xml::kFaultServer, u"Internal error.", true);
    }
  }
}

}  // namespace message
