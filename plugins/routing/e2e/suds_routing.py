#!/usr/bin/python3
"""suds, given only the interop document description the intermediary
serves, calls SimpleDocument through it with a routing path it builds itself.

argv: the description's URL, the intermediary's URL, the receiver's URL.
Prints what went wrong; exit 0 when the receiver's echo came back.
"""
import sys

from suds.client import Client
from suds.sax.element import Element

wsdl, mid, recv = sys.argv[1:4]
RP = ("rp", "http://schemas.xmlsoap.org/rp/")


def child(parent, name, text=None):
    e = Element(name, ns=RP)
    if text is not None:
        e.setText(text)
    parent.append(e)
    return e


path = Element("path", ns=RP)
path.set("SOAP-ENV:actor", "http://schemas.xmlsoap.org/soap/actor/next")
path.set("SOAP-ENV:mustUnderstand", "1")
child(path, "action", "http://soapinterop.org/SimpleDocument")
child(path, "to", recv)
child(child(path, "fwd"), "via", mid)
child(path, "rev")  # without it the receiver answers nothing
child(path, "id", "uuid:suds-routing-1")

client = Client(wsdl, location=mid, cache=None, soapheaders=path)
sent = "caf\u00e9 <&> routed"
try:
    got = client.service.SimpleDocument(sent)
except Exception as e:  # a client that cannot even call is the failure shown
    print("SimpleDocument: %s: %s" % (type(e).__name__, e))
    sys.exit(1)
if got != sent:
    print("SimpleDocument: got %r, want %r" % (got, sent))
    sys.exit(1)
