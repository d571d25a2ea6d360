#!/usr/bin/env python3
"""Reads the management statistics, server parameters and HTTP settings of a
running server through an independent SOAP client that knows only the
endpoint's WSDL.

usage: suds_mgmt.py WSDL_URL ENDPOINT_URL
Prints one "name=value" line per result, and per call one "op.order=" line
naming the reply's output elements in the order they arrived; exits 77 when
suds is absent."""
import sys

try:
    from suds.client import Client
except ImportError:
    sys.exit(77)

wsdl, endpoint = sys.argv[1], sys.argv[2]
client = Client(wsdl, location=endpoint, cache=None)
for op in ("GetServerStats", "GetServerParams", "GetHTTPSettings"):
    reply = getattr(client.service, op)()
    # Several outputs come back as an object with one field per part.
    for name, value in sorted(dict(reply).items()):
        if isinstance(value, (str, int, bool)):
            print(f"{op}.{name}={value}")
    # rpc clients that read by position depend on this order.
    body = client.last_received().getChild("Envelope").getChild("Body")
    wrapper = body.getChildren()[0]
    print(f"{op}.order=" + " ".join(child.name for child in wrapper.getChildren()))
