// The records a SoapMessage keeps: value elements (fault details and the base
// of the others), encoded and literal header blocks, method parameters and the
// literal body. Each record is allocated singly and owned by the vector that
// holds it; content VARIANTs are deep copies.
#pragma once

#include <string>
#include <string_view>

#include "platform/com/variant.h"

namespace xml {
class NamespaceScope;
}

namespace message {

// A received element whose text is written only when it is asked for: its
// markup as read, in the source that its parse keeps until the parser parses
// again, and the bindings in force on its parent there.
struct ReceivedElement {
  std::u16string_view markup;  // empty: none
  const xml::NamespaceScope* scope = nullptr;
  // A SOAP 1.1 header block whose encodingStyle is inherited carries it in
  // its literal form.
  bool add_encoding_style = false;
};

// The text of `element` as the tree writer writes it, `encoding_style` added
// when the element asks for it; empty when the markup is no element.
std::u16string WriteReceivedElement(const ReceivedElement& element,
                                    std::u16string_view encoding_style);

class MessageElement {
 public:
  // Content stays VT_EMPTY.
  MessageElement(std::u16string_view namespace_uri, std::u16string_view local_name);
  // Content copied with VariantCopy; a failed copy leaves it VT_EMPTY and
  // CopyFailed() true.
  MessageElement(std::u16string_view namespace_uri, std::u16string_view local_name,
                 const VARIANT& content);
  virtual ~MessageElement();
  MessageElement(const MessageElement&) = delete;
  MessageElement& operator=(const MessageElement&) = delete;

  std::u16string namespace_uri;
  std::u16string local_name;
  VARIANT content;

  bool CopyFailed() const { return copy_failed_; }

 private:
  bool copy_failed_ = false;
};

struct HeaderBlockFlags {
  bool must_understand = false;
  bool relay = false;
  bool received = false;  // stored by the parsers (or a fault header block)
};

class HeaderBlock : public MessageElement {
 public:
  HeaderBlock(std::u16string_view namespace_uri, std::u16string_view local_name,
              const VARIANT& content, std::u16string_view role, HeaderBlockFlags flags)
      : MessageElement(namespace_uri, local_name, content),
        received(flags.received),
        must_understand(flags.must_understand),
        relay(flags.relay),
        role(role) {}

  bool received;
  bool must_understand;
  bool relay;
  std::u16string role;  // SOAP 1.1 actor or SOAP 1.2 role; empty for none
};

class LiteralHeaderBlock : public MessageElement {
 public:
  LiteralHeaderBlock(std::u16string_view namespace_uri, std::u16string_view local_name,
                     std::u16string_view literal_xml, std::u16string_view role,
                     std::u16string_view encoding_style, HeaderBlockFlags flags)
      : MessageElement(namespace_uri, local_name),
        received(flags.received),
        must_understand(flags.must_understand),
        relay(flags.relay),
        role(role),
        encoding_style(encoding_style),
        literal_xml_(literal_xml) {}

  bool received;
  bool must_understand;
  bool relay;
  std::u16string role;
  std::u16string encoding_style;

  // The block's element as XML text. A received block's text is written from
  // the received markup on first use: most blocks are never read as text.
  const std::u16string& LiteralXml() const;
  // `element` stays valid until `source_owner` parses again, and Settle is
  // called before it does.
  void SetPending(const ReceivedElement& element, const void* source_owner);
  void Settle(const void* source_owner) const;

 private:
  mutable std::u16string literal_xml_;
  mutable ReceivedElement pending_;
  const void* source_owner_ = nullptr;
};

class MethodParam : public MessageElement {
 public:
  MethodParam(std::u16string_view namespace_uri, std::u16string_view local_name,
              const VARIANT& content, bool is_in, bool is_out)
      : MessageElement(namespace_uri, local_name, content), is_in(is_in), is_out(is_out) {}

  bool is_in;
  bool is_out;
};

struct LiteralBody {
  std::u16string encoding_style;
  std::u16string literal_xml;
};

}  // namespace message
