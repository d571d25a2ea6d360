#!/usr/bin/env python3
"""Logs on to the digest-protected management endpoint with an independent
SOAP client that knows only the endpoint's WSDL and the user's credentials:
the first call's fault carries the challenge, the client proves itself with
its own MD5 and verifies the server's proof.

usage: suds_digest_logon.py WSDL_URL ENDPOINT_URL USER PASSWORD
Prints "name=value" lines; exits 1 when the server's proof does not verify,
77 when suds is absent."""
import base64
import hashlib
import sys

try:
    from suds import WebFault
    from suds.client import Client
    from suds.sax.element import Element
except ImportError:
    sys.exit(77)

DA = ("da", "urn:quorvel:soap:digest-auth")


def md5(text):
    return hashlib.md5(text.encode("utf-8")).digest()


def header_block(document, name):
    header = document.getChild("Envelope").getChild("Header")
    return header.getChild(name) if header is not None else None


def member(block, name):
    child = block.getChild(name)
    return child.getText() if child is not None else None


def client_auth(nonce, user, realm, user_hash, client_nonce):
    block = Element("ClientAuth", ns=DA)
    proof = md5(f"{user_hash}:{nonce}:{client_nonce}")
    for name, value in (("Nonce", nonce), ("Auth", base64.b64encode(proof).decode()),
                        ("UserID", user), ("Realm", realm), ("ClientNonce", client_nonce)):
        block.append(Element(name).setText(value))
    return block


wsdl, endpoint, user, password = sys.argv[1:5]
client = Client(wsdl, location=endpoint, cache=None)

try:
    client.service.GetServerStats()
    print("first.fault=none")
    sys.exit(1)
except WebFault as e:
    print(f"first.faultstring={e.fault.faultstring}")
    challenge = header_block(e.document, "Challenge")
if challenge is None:
    print("first.challenge=none")
    sys.exit(1)
status, nonce, realm = (member(challenge, n) for n in ("Status", "Nonce", "Realm"))
print(f"challenge.Status={status}")
print(f"challenge.Realm={realm}")

user_hash = md5(f"{user}:{realm}:{password}").hex().upper()
for i in range(2):
    client_nonce = f"suds-{i}"
    client.set_options(soapheaders=[client_auth(nonce, user, realm, user_hash, client_nonce)])
    stats = client.service.GetServerStats()
    print(f"call{i}.Result={stats.Result}")
    nxt = header_block(client.last_received(), "NextChallenge")
    print(f"call{i}.Status={member(nxt, 'Status')}")
    print(f"call{i}.ClientNonce={member(nxt, 'ClientNonce')}")
    nonce = member(nxt, "Nonce")
    expected = base64.b64encode(md5(f"{user_hash}:{nonce}:{client_nonce}")).decode()
    if member(nxt, "ServerAuth") != expected:
        print(f"call{i}.ServerAuth=wrong")
        sys.exit(1)
    print(f"call{i}.ServerAuth=verified")
