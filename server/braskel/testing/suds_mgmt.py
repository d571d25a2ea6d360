#!/usr/bin/env python3
"""Reads the management statistics and server parameters of a running server
through an independent SOAP client that knows only the endpoint's WSDL.

usage: suds_mgmt.py WSDL_URL ENDPOINT_URL
Prints one "name=value" line per result; exits 77 when suds is absent."""
import sys

try:
    from suds.client import Client
except ImportError:
    sys.exit(77)

wsdl, endpoint = sys.argv[1], sys.argv[2]
client = Client(wsdl, location=endpoint, cache=None)
for op in ("GetServerStats", "GetServerParams"):
    reply = getattr(client.service, op)()
    # Several outputs come back as an object with one field per part.
    for name, value in sorted(dict(reply).items()):
        print(f"{op}.{name}={value}")
