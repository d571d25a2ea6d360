// The handlers as a parse builds them: the fixed error texts of missing and
// unresolvable attributes, and records the queries do not show directly.
#include "wsdl/wsdl_model.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/text/text.h"
#include "xml/sax_dispatcher.h"
#include "xml/xml_parser.h"

namespace wsdl {
namespace {

const std::string kHead =
    "<definitions targetNamespace=\"urn:t\" xmlns=\"http://schemas.xmlsoap.org/wsdl/\"\n"
    " xmlns:tns=\"urn:t\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"\n"
    " xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\"\n"
    " xmlns:soap12=\"http://schemas.xmlsoap.org/wsdl/soap12/\"\n"
    " xmlns:enc=\"http://schemas.xmlsoap.org/soap/encoding/\"\n"
    " xmlns:wsdl=\"http://schemas.xmlsoap.org/wsdl/\">\n";
const std::string kTail = "\n</definitions>";

// Parses `doc` into `document`; the fault's message, "line N" for a parse
// error, or "" when the parse succeeded.
std::string Parse(const std::string& doc, WsdlDocumentHandler& document) {
  xml::SaxDispatcher dispatcher;
  dispatcher.SetRootHandler(&document);
  xml::XmlParser parser;
  try {
    parser.ParseXmlBuffer(doc.data(), doc.size(), &dispatcher);
  } catch (const QVWebServicesDescFault& fault) {
    return text::Narrow(fault.message());
  } catch (int line) {
    return "line " + std::to_string(line);
  }
  return "";
}

std::string ParseBody(const std::string& body) {
  WsdlDocumentHandler document;
  return Parse(kHead + body + kTail, document);
}

std::string Schema(const std::string& content) {
  return "<types><xsd:schema targetNamespace=\"urn:s\">" + content + "</xsd:schema></types>";
}

TEST(WsdlModelTest, RequiredAndUnresolvableAttributes) {
  const std::string port_type = "<portType name=\"pt\"><operation name=\"o\">";
  const std::string binding = "<binding name=\"b\" type=\"tns:pt\"><operation name=\"o\">";
  const std::string input = "<input>";
  const struct {
    std::string body;
    const char* message;
  } cases[] = {
      {"<message/>", "Required attribute 'name' missing on element: 'message'."},
      {"<portType/>", "Required attribute 'name' missing on element: 'portType'."},
      {"<binding type=\"tns:pt\"/>", "Required attribute 'name' missing on element: 'binding'."},
      {"<service/>", "Required attribute 'name' missing on element: 'service'."},
      {"<message name=\"m\"><part/></message>",
       "Required attribute 'name' missing on element: 'part'."},
      {"<message name=\"m\"><part name=\"p\" type=\"zz:x\"/></message>",
       "Unresolvable namespace for attribute 'type' on element: 'message'"},
      {"<message name=\"m\"><part name=\"p\" element=\"zz:x\"/></message>",
       "Unresolvable namespace for attribute 'element' on element: 'message'"},
      {"<portType name=\"pt\"><operation/></portType>",
       "Required attribute 'name' missing on element: 'operation'."},
      {port_type + "<input/></operation></portType>",
       "Required attribute 'message' missing on element: 'input'"},
      {port_type + "<output message=\"zz:m\"/></operation></portType>",
       "Unresolvable namespace for attribute 'message' on element: 'output'"},
      {port_type + "<fault message=\"tns:m\"/></operation></portType>",
       "Required attribute 'name' missing on element: 'fault'."},
      {port_type + "<fault name=\"f\"/></operation></portType>",
       "Required attribute 'message' missing on element: 'fault'"},
      {port_type + "<fault name=\"f\" message=\"zz:m\"/></operation></portType>",
       "Unresolvable namespace for attribute 'message' on element: 'fault'"},
      {"<service name=\"s\"><port/></service>",
       "Required attribute 'name' missing on element: 'port'."},
      {"<service name=\"s\"><port name=\"p\"/></service>",
       "Required attribute 'binding' missing on element: 'port'"},
      {"<service name=\"s\"><port name=\"p\" binding=\"zz:b\"/></service>",
       "Unresolvable namespace for attribute 'binding' on element: 'port'"},
      {"<service name=\"s\"><port name=\"p\" binding=\"tns:b\"><soap12:address/></port></service>",
       "Required attribute 'location' missing on element: 'soap:address'"},
      {"<binding name=\"b\"/>", "Required attribute 'type' missing on element: 'binding'"},
      {"<binding name=\"b\" type=\"zz:pt\"/>",
       "Unresolvable namespace for attribute 'type' on element: 'binding'"},
      {"<binding name=\"b\" type=\"tns:pt\"><operation/></binding>",
       "Required attribute 'name' missing on element: 'operation'."},
      {binding + input +
           "<soap:header message=\"tns:h\" part=\"p\"/></input></operation></binding>",
       "Required attribute 'use' missing on element: 'soap:header'"},
      {binding + input +
           "<soap12:header part=\"p\" use=\"literal\"/></input></operation></binding>",
       "Required attribute 'message' missing on element: 'soap:header'"},
      {binding + input +
           "<soap:header message=\"zz:h\" part=\"p\" "
           "use=\"literal\"/></input></operation></binding>",
       "Unresolvable namespace for attribute 'message' on element: 'soap:header'"},
      {binding + input +
           "<soap:header message=\"tns:h\" part=\"p\" use=\"literal\">"
           "<soap:headerfault message=\"tns:f\" use=\"literal\"/></soap:header>"
           "</input></operation></binding>",
       "Required attribute 'part' missing on element: 'soap:headerfault'"},
      {binding + "<fault name=\"f\" message=\"zz:m\"/></operation></binding>",
       "Unresolvable namespace for attribute 'message' on element: 'fault'"},
      {"<import location=\"x.wsdl\"/>",
       "Required attribute 'namespace' missing on element: 'import'."},
      {"<import namespace=\"urn:x\"/>",
       "Required attribute 'location' missing on element: 'import'."},
      {"<types><xsd:schema/></types>",
       "Required attribute 'targetNamespace' missing on element: 'schema'."},
      {Schema("<xsd:element type=\"xsd:int\"/>"),
       "Required attribute 'name' missing on element: 'element'."},
      {Schema("<xsd:complexType/>"),
       "Required attribute 'name' missing on element: 'complexType'."},
      {Schema("<xsd:simpleType/>"), "Required attribute 'name' missing on element: 'simpleType'."},
      {Schema("<xsd:element name=\"e\" type=\"zz:t\"/>"),
       "Unresolvable namespace for attribute 'type' on element: 'element'"},
      {Schema("<xsd:complexType name=\"c\"><xsd:sequence><xsd:element ref=\"zz:e\"/>"
              "</xsd:sequence></xsd:complexType>"),
       "Unresolvable namespace for attribute 'ref' on element: 'element'"},
      {Schema("<xsd:element name=\"e\" form=\"Qualified\"/>"),
       "Illegal value for attribute 'form' on element: 'element'"},
      {Schema("<xsd:complexType name=\"c\"><xsd:attribute name=\"a\" type=\"zz:t\"/>"
              "</xsd:complexType>"),
       "Unresolvable namespace for attribute 'type' on element: 'attribute'"},
      {Schema("<xsd:complexType name=\"c\"><xsd:complexContent><xsd:restriction base=\"enc:Array\">"
              "<xsd:attribute ref=\"zz:arrayType\"/></xsd:restriction></xsd:complexContent>"
              "</xsd:complexType>"),
       "Unresolvable namespace for attribute 'ref' on element: 'attribute'"},
      {Schema("<xsd:complexType name=\"c\"><xsd:complexContent><xsd:restriction base=\"enc:Array\">"
              "<xsd:attribute ref=\"enc:arrayType\" wsdl:arrayType=\"zz:int[]\"/>"
              "</xsd:restriction></xsd:complexContent></xsd:complexType>"),
       "Unresolvable namespace for attribute 'arrayType' on element: 'attribute'"},
      {Schema("<xsd:simpleType name=\"s\"><xsd:restriction base=\"zz:int\"/></xsd:simpleType>"),
       "Unresolvable namespace for attribute 'base' on element: 'restriction'"},
      {Schema("<xsd:complexType name=\"c\"><xsd:complexContent><xsd:extension base=\"zz:b\"/>"
              "</xsd:complexContent></xsd:complexType>"),
       "Unresolvable namespace for attribute 'base' on element: 'extension'"},
      // Accepted: a binding's input needs no message; skipped namespaces.
      {binding + "<input name=\"i\"/></operation></binding>", ""},
      {binding + "<mime:content xmlns:mime=\"http://schemas.xmlsoap.org/wsdl/mime/\">"
                 "<soap:header/></mime:content></operation></binding>",
       ""},
      {binding + "<http:operation xmlns:http=\"http://schemas.xmlsoap.org/wsdl/http/\">"
                 "<soap:header/></http:operation></operation></binding>",
       ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseBody(c.body), c.message) << c.body;
}

TEST(WsdlModelTest, SchemaAsTheRootElement) {
  WsdlDocumentHandler missing;
  EXPECT_EQ(Parse("<schema xmlns=\"http://www.w3.org/2000/10/XMLSchema\"/>", missing),
            "Required attribute 'targetNamespace' missing on element: 'schema'.");
  WsdlDocumentHandler document;
  ASSERT_EQ(Parse("<schema xmlns=\"http://www.w3.org/2000/10/XMLSchema\" targetNamespace=\"urn:b\">"
                  "<complexType name=\"T\"/></schema>",
                  document),
            "");
  const SchemaHandler* schema = document.definitions.types.FindSchema(u"urn:b");
  ASSERT_NE(schema, nullptr);
  EXPECT_NE(FindWithNamespace(schema->complex_types, u"T", u"urn:b"), nullptr);
}

TEST(WsdlModelTest, MessageQualifiedNamesNeedADeclaredPrefix) {
  // Without a default namespace an unprefixed name has nothing to resolve to.
  WsdlDocumentHandler document;
  EXPECT_EQ(Parse("<wsdl:definitions xmlns:wsdl=\"http://schemas.xmlsoap.org/wsdl/\">"
                  "<wsdl:portType name=\"p\"><wsdl:operation name=\"o\">"
                  "<wsdl:input message=\"m\"/></wsdl:operation></wsdl:portType>"
                  "</wsdl:definitions>",
                  document),
            "Unresolvable namespace for attribute 'message' on element: 'input'");
  WsdlDocumentHandler with_default;
  ASSERT_EQ(Parse(kHead +
                      "<portType name=\"p\"><operation name=\"o\"><input message=\"m\"/>"
                      "</operation></portType>" +
                      kTail,
                  with_default),
            "");
  const auto& op = *with_default.definitions.port_types.at(u"p")->operations.at(u"o");
  EXPECT_EQ(op.input.message, (QName{u"http://schemas.xmlsoap.org/wsdl/", u"m"}));
}

TEST(WsdlModelTest, RecordsKeepTheirFirstDefinitionAndDocumentOrder) {
  WsdlDocumentHandler document;
  ASSERT_EQ(Parse(kHead +
                      "<message name=\"m\"><part name=\"b\" type=\"xsd:int\"/>"
                      "<part name=\"a\" element=\"tns:e\" type=\"xsd:string\"/>"
                      "<part name=\"b\" type=\"xsd:double\"/></message>"
                      "<message name=\"m\"><part name=\"z\" type=\"xsd:int\"/></message>"
                      "<portType name=\"p\"><operation name=\"o\" parameterOrder=\"x y\tz x w\">"
                      "<input message=\"tns:m\"/><input message=\"tns:n\"/>"
                      "</operation></portType>"
                      "<binding name=\"b\" type=\"tns:p\"><operation name=\"o\">"
                      "<soap:operation soapAction=\"\"/>"
                      "<input><soap:header message=\"tns:h\" part=\"2\" use=\"literal\"/>"
                      "<soap:header message=\"tns:h\" part=\"1\" use=\"literal\"/>"
                      "<soap:body use=\"encoded\" namespace=\"urn:n\"/><soap:body use=\"literal\"/>"
                      "</input></operation></binding>" +
                      kTail,
                  document),
            "");
  const DefinitionsHandler& d = document.definitions;
  const MessageHandler& m = *d.messages.at(u"m");
  ASSERT_EQ(m.parts.size(), 2u);  // a, b; the second b and the second message dropped
  EXPECT_EQ(m.parts[0].name, u"a");
  ASSERT_NE(m.FirstPart(), nullptr);
  EXPECT_EQ(m.FirstPart(), &m.parts.at(u"b"));
  EXPECT_EQ(m.parts.at(u"b").position, 0);
  EXPECT_EQ(m.parts.at(u"a").position, 1);
  EXPECT_EQ(m.parts.at(u"b").type.name, u"int");
  EXPECT_EQ(m.parts.at(u"a").type.name, u"string");  // both pairs kept
  EXPECT_EQ(m.parts.at(u"a").element.name, u"e");
  EXPECT_EQ(m.GetNamespace(), u"urn:t");
  EXPECT_EQ(m.parts.at(u"a").GetNamespace(), u"urn:t");

  const PortTypeOperationHandler& op = *d.port_types.at(u"p")->operations.at(u"o");
  // Only U+0020 separates; a repeated name keeps its first position but uses
  // up a number.
  const std::vector<std::pair<CompactName, int32_t>> positions{
      {u"w", 3}, {u"x", 0}, {u"y\tz", 1}};
  EXPECT_EQ(op.parameter_positions, positions);
  EXPECT_EQ(op.input.message.name, u"n");  // the second input overwrites the first

  const BindingOperationHandler& bo = *d.bindings.at(u"b")->operations.at(u"o");
  EXPECT_EQ(bo.soap_operation.soap_action, u"\"\"");
  ASSERT_EQ(bo.input.headers.size(), 2u);
  EXPECT_EQ(bo.input.headers[0]->part, u"2");
  EXPECT_EQ(bo.input.headers[1]->part, u"1");
  EXPECT_EQ(bo.input.body.use, u"literal");           // replaced field by field
  EXPECT_EQ(bo.input.body.body_namespace, u"urn:n");  // kept
  EXPECT_EQ(bo.GetNamespace(), u"urn:t");
}

// A second schema of a namespace adds its names to the first one's tables;
// a name both define keeps the first schema's record.
TEST(WsdlModelTest, SecondSchemaOfANamespaceKeepsTheFirstDefinitions) {
  WsdlDocumentHandler document;
  const std::string schema_head = "<xsd:schema targetNamespace=\"urn:s\">";
  ASSERT_EQ(Parse(kHead + "<types>" + schema_head +
                      "<xsd:complexType name=\"T\"><xsd:sequence>"
                      "<xsd:element name=\"first\" type=\"xsd:int\"/>"
                      "</xsd:sequence></xsd:complexType></xsd:schema>" +
                      schema_head +
                      "<xsd:complexType name=\"T\"><xsd:sequence>"
                      "<xsd:element name=\"second\" type=\"xsd:int\"/>"
                      "</xsd:sequence></xsd:complexType><xsd:complexType name=\"A\"/>"
                      "</xsd:schema></types>" +
                      kTail,
                  document),
            "");
  const SchemaHandler* schema = document.definitions.types.FindSchema(u"urn:s");
  ASSERT_NE(schema, nullptr);
  const ComplexTypeHandler* t = FindWithNamespace(schema->complex_types, u"T", u"urn:s");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(t->sequence.elements.size(), 1u);
  EXPECT_EQ(t->sequence.elements[0].name, u"first");
  EXPECT_NE(FindWithNamespace(schema->complex_types, u"A", u"urn:s"), nullptr);
}

// A document that ends, or fails, inside anonymous types frees them with the
// element that held them (the leak checker of the test run would see them).
TEST(WsdlModelTest, AbandonedAnonymousTypesAreFreed) {
  const std::string open_types =
      Schema("").substr(0, Schema("").find("</xsd:schema>")) +
      "<xsd:element name=\"e\"><xsd:complexType><xsd:sequence>"
      "<xsd:element name=\"inner\"><xsd:simpleType><xsd:restriction base=\"xsd:int\"/>"
      "</xsd:simpleType>";
  WsdlDocumentHandler cut;
  EXPECT_TRUE(Parse(kHead + open_types, cut).starts_with("line "));
  WsdlDocumentHandler failed;
  EXPECT_EQ(
      Parse(kHead + open_types + "</xsd:element><xsd:element name=\"x\" form=\"bad\"/>", failed),
      "Illegal value for attribute 'form' on element: 'element'");
}

}  // namespace
}  // namespace wsdl
