#!/usr/bin/python3
"""Independent SOAP clients against the test services.

Given only the server's base URL (argv[1]), each client reads the WSDL the
server serves from its document root and calls the service at the
configured endpoint: suds and zeep call the three interop document
operations, zeep calls the SOAP 1.2 test service's echoOk and
echoSenderFault. Prints one line per failure and a count; exit 0 when all
hold.
"""
import sys

base = sys.argv[1]
failures = []
checks = [0]


def check(what, got, want):
    checks[0] += 1
    if got != want:
        failures.append("%s: got %r, want %r" % (what, got, want))


def tree(e):
    """An element as names, attributes, text and children, prefixes aside."""
    return (e.tag, dict(e.attrib), (e.text or "").strip(), [tree(c) for c in e])


def attempt(what, call):
    try:
        call()
    except Exception as e:  # a client that cannot even call is a failure
        checks[0] += 1
        failures.append("%s: %s: %s" % (what, type(e).__name__, e))


def suds_interopdoc():
    from suds.client import Client
    client = Client(base + "/wsdl/interopdoc.wsdl", location=base + "/interopdoc", cache=None)
    check("suds SingleTag", client.service.SingleTag("abc"), "abc")
    check("suds SimpleDocument", client.service.SimpleDocument("caf\u00e9 <&>"), "caf\u00e9 <&>")
    # suds writes no content it cannot type: the request goes in as written,
    # the answer is read by suds from the description.
    request = (
        '<?xml version="1.0" encoding="UTF-8"?><e:Envelope'
        ' xmlns:e="http://schemas.xmlsoap.org/soap/envelope/"'
        ' xmlns:iop="http://soapinterop.org/" xmlns:p="urn:p"><e:Body><iop:ComplexDocument>'
        '<iop:ComplexDocument><p:part p:n="1">one<p:leaf>two</p:leaf></p:part>'
        '</iop:ComplexDocument></iop:ComplexDocument></e:Body></e:Envelope>')
    got = client.service.ComplexDocument(__inject={"msg": request.encode()})
    parts = getattr(got, "part", None) or []
    parts = parts if isinstance(parts, list) else [parts]
    check("suds ComplexDocument",
          [(e.name, e.namespace()[1], e.getText().strip(), e.get("n"),
            e.getChild("leaf").getText()) for e in parts],
          [("part", "urn:p", "one", "1", "two")])


def zeep_interopdoc():
    import zeep
    from lxml import etree
    client = zeep.Client(base + "/wsdl/interopdoc.wsdl")
    service = client.create_service("{http://soapinterop.org/}interopDocBinding",
                                    base + "/interopdoc")
    check("zeep SingleTag", service.SingleTag("abc"), "abc")
    check("zeep SimpleDocument", service.SimpleDocument("caf\u00e9 <&>"), "caf\u00e9 <&>")
    part = etree.fromstring('<p:part xmlns:p="urn:p" p:n="1">one<p:leaf>two</p:leaf></p:part>')
    got = service.ComplexDocument({"_value_1": [part]})
    items = getattr(got, "_value_1", None) or []
    check("zeep ComplexDocument", [tree(e) for e in items], [tree(part)])


def zeep_soap12():
    import zeep
    from zeep.exceptions import Fault
    client = zeep.Client(base + "/wsdl/soap12-test.wsdl")
    service = client.create_service("{http://example.org/ts-tests}Soap12TestDocBinding",
                                    base + "/soap12/test-doc")
    check("zeep echoOk", service.echoOk("abc"), "abc")
    try:
        service.echoSenderFault("x")
        check("zeep echoSenderFault", "no fault", "a fault")
    except Fault as f:
        check("zeep echoSenderFault", f.message, "This is a Sender fault.")


for name, call in (("suds interopdoc", suds_interopdoc), ("zeep interopdoc", zeep_interopdoc),
                   ("zeep soap12-test", zeep_soap12)):
    attempt(name, call)
for f in failures:
    print(f)
print("%d checks, %d failed" % (checks[0], len(failures)))
sys.exit(1 if failures else 0)
