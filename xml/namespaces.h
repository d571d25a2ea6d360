// The namespace URIs every component of the system compares against, in one
// place so that no two spellings can drift apart.
#pragma once

#include <string_view>

namespace xml {

// Namespaces in XML: bound to "xml" everywhere, and the declarations' own.
inline constexpr std::u16string_view kXmlNamespace = u"http://www.w3.org/XML/1998/namespace";
inline constexpr std::u16string_view kXmlnsNamespace = u"http://www.w3.org/2000/xmlns/";

// SOAP 1.1.
inline constexpr std::u16string_view kSoap11EnvelopeNamespace =
    u"http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr std::u16string_view kSoap11EncodingNamespace =
    u"http://schemas.xmlsoap.org/soap/encoding/";

// SOAP 1.2.
inline constexpr std::u16string_view kSoap12EnvelopeNamespace =
    u"http://www.w3.org/2003/05/soap-envelope";
inline constexpr std::u16string_view kSoap12EncodingNamespace =
    u"http://www.w3.org/2003/05/soap-encoding";
inline constexpr std::u16string_view kSoap12RpcNamespace = u"http://www.w3.org/2003/05/soap-rpc";
// The encoding style that declares no encoding.
inline constexpr std::u16string_view kSoap12EncodingNoneNamespace =
    u"http://www.w3.org/2003/05/soap-envelope/encoding/none";

// WSDL 1.1 and its SOAP bindings.
inline constexpr std::u16string_view kWsdlNamespace = u"http://schemas.xmlsoap.org/wsdl/";
inline constexpr std::u16string_view kWsdlSoap11Namespace =
    u"http://schemas.xmlsoap.org/wsdl/soap/";
inline constexpr std::u16string_view kWsdlSoap12Namespace =
    u"http://schemas.xmlsoap.org/wsdl/soap12/";

// XML Schema. The 2001 edition is written; the 1999 and 2000/10 editions are
// accepted on input where older peers use them.
inline constexpr std::u16string_view kXmlSchemaNamespace = u"http://www.w3.org/2001/XMLSchema";
inline constexpr std::u16string_view kXmlSchemaInstanceNamespace =
    u"http://www.w3.org/2001/XMLSchema-instance";
inline constexpr std::u16string_view kXmlSchema1999Namespace = u"http://www.w3.org/1999/XMLSchema";
inline constexpr std::u16string_view kXmlSchemaInstance1999Namespace =
    u"http://www.w3.org/1999/XMLSchema-instance";
inline constexpr std::u16string_view kXmlSchema2000Namespace =
    u"http://www.w3.org/2000/10/XMLSchema";
inline constexpr std::u16string_view kXmlSchemaInstance2000Namespace =
    u"http://www.w3.org/2000/10/XMLSchema-instance";

// Our digest-authentication header blocks; every WSDL typing them uses this
// literal (a test holds them equal).
inline constexpr std::u16string_view kDigestAuthNamespace = u"urn:quorvel:soap:digest-auth";

// The "next" actor (SOAP 1.1) and role (SOAP 1.2) every intermediary plays.
inline constexpr std::u16string_view kSoap11NextActor =
    u"http://schemas.xmlsoap.org/soap/actor/next";
inline constexpr std::u16string_view kSoap12NextRole =
    u"http://www.w3.org/2003/05/soap-envelope/role/next";

// WS-Routing: the path header's namespace and the action of its faults.
inline constexpr std::u16string_view kWsRoutingNamespace = u"http://schemas.xmlsoap.org/rp/";
inline constexpr std::u16string_view kWsRoutingFaultAction =
    u"http://schemas.xmlsoap.org/soap/fault";

// The SOAP 1.2 test collection, and its role of node C.
#define QV_SOAP12_TEST_NAMESPACE u"http://example.org/ts-tests"
inline constexpr std::u16string_view kSoap12TestNamespace = QV_SOAP12_TEST_NAMESPACE;
inline constexpr std::u16string_view kSoap12TestRoleC = QV_SOAP12_TEST_NAMESPACE u"/C";
#undef QV_SOAP12_TEST_NAMESPACE

// The SOAP 1.2 role no node plays: a block for it is never processed.
inline constexpr std::u16string_view kSoap12NoneRole =
    u"http://www.w3.org/2003/05/soap-envelope/role/none";

// The SOAPBuilders interoperability tests, their attachment tests, and the
// web-services reference whose `location` attribute names an attachment.
inline constexpr std::u16string_view kInteropNamespace = u"http://soapinterop.org/";
inline constexpr std::u16string_view kInteropAttachmentsNamespace =
    u"http://soapinterop.org/attachments/xsd";
inline constexpr std::u16string_view kWsReferenceNamespace =
    u"http://schemas.xmlsoap.org/ws/2002/04/reference/";

}  // namespace xml
