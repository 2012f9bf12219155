#!/usr/bin/env python3
"""A webhook receiver for the tests and the benchmark (Python 3 standard library only).

Listens on 127.0.0.1, takes POSTs on any path, checks each one's signature with the secret and
its delivery header against the numbers in its body, and appends one JSON line per request to
the log, as soon as the body is in (before answering):

  {"path":"/hook","delivery":"1-1000","signature_ok":true,"delivery_ok":true,
   "content_type":"application/json","status":200,"seqs":[1,…],"types":["reads",…],
   "bytes":123456,"body":"…"}

What it answers is read from the control file at each request: {"status":500} answers 500,
{"delay":1.5} waits that long first; no file (or a bad one): 200 at once. A bad signature is
answered 401 whatever the control file says.

  receiver.py --secret S --log FILE --ready FILE [--port N] [--control FILE]
              [--cert PEM --key PEM] [--no-bodies]

--ready is written (atomically) with the port once it listens. SIGTERM ends it.
"""

import argparse
import hashlib
import hmac
import http.server
import json
import os
import ssl
import threading
import time


def read_control(path):
    if not path:
        return {}
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--secret", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--ready", required=True)
    parser.add_argument("--control")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--no-bodies", action="store_true")
    args = parser.parse_args()

    secret = args.secret.encode("utf-8")
    log = open(args.log, "a", encoding="utf-8")
    log_lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"  # keep-alive, as a real receiver

        def log_message(self, *unused):
            pass

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length)
            expected = "sha256=" + hmac.new(secret, body, hashlib.sha256).hexdigest()
            signature = self.headers.get("X-Trelvane-Signature", "")
            signature_ok = hmac.compare_digest(signature, expected)
            delivery = self.headers.get("X-Trelvane-Delivery", "")
            seqs, types = [], []
            try:
                document = json.loads(body)
                for item in document["events"]:
                    types.append(item["type"])
                    seqs.append(item["event"]["seq"])
                parsed = bool(seqs) and isinstance(document.get("history_id"), str)
            except (ValueError, KeyError, TypeError):
                parsed = False
            delivery_ok = parsed and delivery == "%d-%d" % (seqs[0], seqs[-1])
            control = read_control(args.control)
            status = int(control.get("status", 200)) if signature_ok else 401
            record = {
                "path": self.path,
                "delivery": delivery,
                "signature_ok": signature_ok,
                "delivery_ok": delivery_ok,
                "parsed": parsed,
                "content_type": self.headers.get("Content-Type", ""),
                "status": status,
                "seqs": seqs,
                "types": types,
                "bytes": len(body),
            }
            if not args.no_bodies:
                record["body"] = body.decode("utf-8", "replace")
            with log_lock:
                log.write(json.dumps(record) + "\n")
                log.flush()
            delay = float(control.get("delay", 0))
            if delay > 0:
                time.sleep(delay)
            answer = b"taken\n" if 200 <= status < 300 else b"refused by the test receiver\n"
            try:
                self.send_response(status)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)
            except OSError:
                pass  # the sender gave up (its timeout) or was stopped

    class Server(http.server.ThreadingHTTPServer):
        daemon_threads = True
        allow_reuse_address = True

        def handle_error(self, request, client_address):
            pass  # a sender that went away, a TLS handshake refused: nothing to print

    server = Server(("127.0.0.1", args.port), Handler)
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    port = server.server_address[1]
    temporary = args.ready + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(str(port))
    os.replace(temporary, args.ready)
    server.serve_forever()


if __name__ == "__main__":
    main()
