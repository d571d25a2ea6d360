#!/usr/bin/env python3
"""How long a new client waits while a few hostile clients try to lock it out.

Run by hand (never by the tests). Starts the given braskel executable in a
temporary folder of its own (registry, runtime, event log) on a free loopback
port, with maxClients 32 and clientTimeout 70, and for each attempt below
measures the time from the attempt's start until a new client is answered
(retrying every 100 ms, up to 90 s):

  heads   32 connections that send "GET / HTTP/1.0\\r\\nX-a: b\\r\\n" and stop
  bodies  8 connections announcing a 64 MiB body that trickle; the new client
          POSTs a small body (a 503 counts as not answered)
  early   a client that sends a 64 MiB body to a path that is no endpoint
          before reading: whether it reads the 404 (and how long it took)

Usage: scripts/lockout_probe.py path/to/braskel
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SERVICE = "Quorvel SOAP Service"
POST = ("POST /svc HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: a\r\n"
        "Content-Length: ")


def exchange(port, request, timeout=2.0):
    """The reply's first line, or '' when refused, reset or silent."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(request)
            data = b""
            while b"\r\n" not in data:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
            return data.split(b"\r\n", 1)[0].decode(errors="replace")
    except OSError:
        return ""


def wait_answered(port, request, good, limit=90.0):
    start = time.monotonic()
    while time.monotonic() - start < limit:
        if good(exchange(port, request)):
            return time.monotonic() - start
        time.sleep(0.1)
    return None


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    exe = os.path.abspath(sys.argv[1])
    state = tempfile.mkdtemp(prefix="lockout-")
    server = None
    try:
        shutil.copy(exe, os.path.join(state, "braskel"))
        os.makedirs(os.path.join(state, "www"))
        with open(os.path.join(state, "www", "a.txt"), "w") as f:
            f.write("hello")
        with open(os.path.join(state, "brevla-config.xml"), "w") as f:
            f.write("<configuration><listenAddress>127.0.0.1</listenAddress><listenPort>0"
                    "</listenPort><docBasePath>%s</docBasePath><maxClients>32</maxClients>"
                    "<clientTimeout>70</clientTimeout><endpointList><endpoint><requestURI>"
                    "/svc/*</requestURI><wsdlDocURL>u</wsdlDocURL><wsdlService>s</wsdlService>"
                    "<wsdlPort>p</wsdlPort><bodyProcessingProgId>b</bodyProcessingProgId>"
                    "<enabled>true</enabled></endpoint></endpointList></configuration>"
                    % os.path.join(state, "www"))
        env = dict(os.environ)
        for var, sub in (("QUORVEL_REGISTRY", "registry"), ("QUORVEL_RUNTIME_DIR", "runtime"),
                         ("QUORVEL_UNIT_DIR", "units")):
            env[var] = os.path.join(state, sub)
            if sub != "registry":
                os.makedirs(env[var])
        log = os.path.join(state, "eventlog.txt")
        env["QUORVEL_EVENTLOG_FILE"] = log
        env.pop("QUORVEL_SERVICE_NAME", None)
        subprocess.run([os.path.join(state, "braskel"), "-Service"], env=env, check=True)
        env["QUORVEL_SERVICE_NAME"] = SERVICE
        server = subprocess.Popen([os.path.join(state, "braskel")], env=env)
        port = 0
        prefix = SERVICE + ": Listening on 127.0.0.1:"
        for _ in range(300):
            if os.path.exists(log):
                for line in open(log, errors="replace"):
                    if line.startswith(prefix):
                        port = int(line[len(prefix):].split()[0])
            if port:
                break
            time.sleep(0.1)
        if not port:
            sys.exit("the server reported no port")

        held = []
        for _ in range(32):
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall(b"GET / HTTP/1.0\r\nX-a: b\r\n")
            held.append(s)
        time.sleep(0.3)
        waited = wait_answered(port, b"GET /a.txt HTTP/1.0\r\n\r\n", lambda l: " 200 " in l)
        print("heads:  new client answered after %s" %
              ("%.2f s" % waited if waited is not None else "more than 90 s"))
        for s in held:
            s.close()
        time.sleep(1)

        held = []
        for _ in range(8):
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall((POST + "67108864\r\n\r\n<x>").encode())
            held.append(s)
        time.sleep(0.3)
        waited = wait_answered(port, (POST + "2\r\n\r\n<x").encode(),
                               lambda l: l.startswith("HTTP/") and " 503 " not in l)
        print("bodies: new client's POST answered (not 503) after %s" %
              ("%.2f s" % waited if waited is not None else "more than 90 s"))
        for s in held:
            s.close()
        time.sleep(1)

        start = time.monotonic()
        line = ""
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                s.sendall(b"POST /nowhere HTTP/1.0\r\nContent-Type: text/xml\r\n"
                          b"Content-Length: 67108864\r\n\r\n")
                s.sendall(b"x" * (64 << 20))
                line = s.recv(4096).split(b"\r\n", 1)[0].decode(errors="replace")
        except OSError as e:
            line = "failed: %s" % e
        print("early:  the sending client got %r after %.2f s" % (line, time.monotonic() - start))
    finally:
        if server is not None:
            server.terminate()
            server.wait(timeout=30)
        shutil.rmtree(state, ignore_errors=True)


if __name__ == "__main__":
    main()
