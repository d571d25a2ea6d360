#!/usr/bin/python3
"""An independent SOAP client against the echo service.

Given only the WSDL as the server serves it (argv[1]) and the endpoint to
call (argv[2]), calls each echo operation and checks the value comes back
unchanged, then checks a failing operation raises the client's fault with
the server's fault string. Prints one line per failure and a count; exit 0
when all hold.
"""
import sys

from suds import WebFault
from suds.client import Client
from suds.xsd.doctor import Import, ImportDoctor


def main():
    # The SOAP encoding schema the WSDL refers to comes from the client's own
    # store: the machine has no network.
    encoding = "http://schemas.xmlsoap.org/soap/encoding/"
    imp = Import(encoding, location="suds://schemas.xmlsoap.org/soap/encoding/")
    imp.filter.add("urn:qvtest:echo:types")
    client = Client(sys.argv[1], location=sys.argv[2], cache=None, doctor=ImportDoctor(imp))
    failures = []
    checks = [0]

    def check(what, got, want):
        checks[0] += 1
        if got != want:
            failures.append("%s: got %r, want %r" % (what, got, want))

    text = "caf\u00e9 \u4e2d \U0001F600 <&>"
    check("echoString", client.service.echoString(text), text)
    for n in (0, -2147483648, 2147483647):
        check("echoInteger %d" % n, client.service.echoInteger(n), n)

    s = client.factory.create("{urn:qvtest:echo:types}SOAPStruct")
    s.varString, s.varInt, s.varFloat = "s \u00e9", 42, 1.5
    got = client.service.echoStruct(s)
    check("echoStruct",
          (got.varString, int(got.varInt), float(got.varFloat)),
          ("s \u00e9", 42, 1.5))

    items = ["a", "\u00e9", "\U0001F600"]
    got = client.service.echoStringArray(items)
    check("echoStringArray", list(got) if got is not None else None, items)

    try:
        client.service.echoFault("x")
        check("echoFault", "no fault raised", "a fault")
    except WebFault as fault:
        check("echoFault faultstring", str(fault.fault.faultstring),
              "Body: Method invocation failed.")
        # The service failed, not the request: the client may retry.
        check("echoFault faultcode", str(fault.fault.faultcode).split(":")[-1], "Server")

    for f in failures:
        print(f)
    print("%d checks, %d failed" % (checks[0], len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
