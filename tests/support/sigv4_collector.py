#!/usr/bin/env python3
"""A loopback collector that checks the AWS Signature Version 4 of every POST
with botocore's own signer, as the managed collectors do: 200 for a request
whose signature matches, 403 for any other. Prints its port on standard error
once it listens, then one line per request ("valid" or "invalid: why")."""
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from botocore.auth import SigV4Auth
from botocore.awsrequest import AWSRequest, HTTPHeaders
from botocore.credentials import Credentials

KEY_ID, SECRET, REGION, SERVICE = sys.argv[1:5]


class SignedAsSent(SigV4Auth):
    """botocore's signer over the headers the sender listed as signed: a
    collector verifies what the request says it signed (botocore would leave
    out User-Agent, which libcurl signs when it is set as a header)."""

    def __init__(self, signed, *args):
        super().__init__(*args)
        self.signed = signed

    def headers_to_sign(self, request):
        headers = HTTPHeaders()
        for name in self.signed:
            headers[name] = request.headers[name]
        return headers


def check(handler, body):
    auth = handler.headers.get("Authorization", "")
    if not auth.startswith("AWS4-HMAC-SHA256 "):
        return "no signature"
    fields = dict(p.strip().split("=", 1) for p in auth[len("AWS4-HMAC-SHA256 "):].split(","))
    scope = fields["Credential"].split("/")
    if scope[0] != KEY_ID or scope[2] != REGION or scope[3] != SERVICE:
        return "wrong credential scope " + fields["Credential"]
    signed = fields["SignedHeaders"].split(";")
    headers = {name: handler.headers[name] for name in signed}
    request = AWSRequest(method=handler.command, url="http://" + handler.headers["Host"] + handler.path,
                         data=body, headers=headers)
    request.context["timestamp"] = handler.headers["X-Amz-Date"]
    for required in ("host", "x-amz-date"):
        if required not in signed:
            return "%s not signed" % required
    signer = SignedAsSent(signed, Credentials(KEY_ID, SECRET), SERVICE, REGION)
    canonical = signer.canonical_request(request)
    expected = signer.signature(signer.string_to_sign(request, canonical), request)
    if expected != fields["Signature"]:
        return "signature mismatch"
    return None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        try:
            problem = check(self, body)
        except Exception as e:  # a malformed header is a refusal, not a crash
            problem = "unreadable: %r" % (e,)
        print("valid" if problem is None else "invalid: " + problem, file=sys.stderr, flush=True)
        self.send_response(200 if problem is None else 403)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print("port %d" % server.server_address[1], file=sys.stderr, flush=True)
server.serve_forever()
