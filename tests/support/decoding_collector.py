#!/usr/bin/env python3
"""A loopback collector that decodes every POST body by its Content-Encoding
(gzip with Python's gzip module, zstd with python3-zstandard, none: as it
came) and records it: 200 for a body it could decode, 400 for any other.
Prints its port on standard error once it listens, then one JSON line per
request: {"path", "encodings" (every Content-Encoding line, in order), "raw"
and "body" (the bytes received and decoded, in hex; "body" null when they
did not decode), "error", "done"}; the line is whole once "done" is
there."""
import gzip
import json
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import zstandard

# Requests are served on threads of their own: one line is written whole.
said = threading.Lock()


def decode(encodings, raw):
    body = raw
    # Encodings apply in the order listed, so they come off in reverse.
    for encoding in reversed(encodings):
        encoding = encoding.strip().lower()
        if encoding == "gzip":
            body = gzip.decompress(body)
        elif encoding == "zstd":
            # A stream reader, so a frame without its content size decodes too.
            body = zstandard.ZstdDecompressor().decompressobj().decompress(body)
        else:
            raise ValueError("unknown encoding %r" % encoding)
    return body


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        raw = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        encodings = self.headers.get_all("Content-Encoding") or []
        record = {"path": self.path, "encodings": encodings, "raw": raw.hex(),
                  "body": None, "error": None}
        try:
            record["body"] = decode(encodings, raw).hex()
        except Exception as e:  # an undecodable body is the finding, not a crash
            record["error"] = repr(e)
        record["done"] = True
        with said:
            sys.stderr.write(json.dumps(record) + "\n")
            sys.stderr.flush()
        self.send_response(200 if record["error"] is None else 400)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print("port %d" % server.server_address[1], file=sys.stderr, flush=True)
server.serve_forever()
