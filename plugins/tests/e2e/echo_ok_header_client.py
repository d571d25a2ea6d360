#!/usr/bin/python3
"""An independent client of the SOAP 1.2 test endpoint's header processor.

Given only the server's base URL (argv[1]), zeep reads the soap12-test.wsdl
the server serves, calls echoOk at "/soap12/test-doc" with a mandatory echoOk
header block of its own making, and looks for responseOk with the same text
in the answer's header. Prints one line per failure and a count; exit 0 when
all hold.
"""
import sys

import zeep
from lxml import etree

TS = "http://example.org/ts-tests"
ENV = "http://www.w3.org/2003/05/soap-envelope"

base = sys.argv[1]
failures = []
checks = 0


def check(what, got, want):
    global checks
    checks += 1
    if got != want:
        failures.append("%s: got %r, want %r" % (what, got, want))


try:
    client = zeep.Client(base + "/wsdl/soap12-test.wsdl",
                         settings=zeep.Settings(raw_response=True))
    service = client.create_service("{%s}Soap12TestDocBinding" % TS, base + "/soap12/test-doc")
    block = etree.Element("{%s}echoOk" % TS, nsmap={"t": TS, "env": ENV})
    block.set("{%s}mustUnderstand" % ENV, "true")
    block.text = "caf\u00e9 <&>"
    reply = service.echoOk("body", _soapheaders=[block])
    check("status", reply.status_code, 200)
    answer = etree.fromstring(reply.content)
    found = answer.findall("{%s}Header/{%s}responseOk" % (ENV, TS))
    check("responseOk texts", [e.text for e in found], ["caf\u00e9 <&>"])
    check("responseOk attributes", [dict(e.attrib) for e in found], [{}])
except Exception as e:  # a client that cannot even call is a failure
    checks += 1
    failures.append("zeep echoOk: %s: %s" % (type(e).__name__, e))
for f in failures:
    print(f)
print("%d checks, %d failed" % (checks, len(failures)))
sys.exit(1 if failures else 0)
