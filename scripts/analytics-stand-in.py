#!/usr/bin/env python3
"""A stand-in for the analytics service on its fixed address, 127.0.0.1:15080.

Answers every POST with 200. With a file argument, keeps "requests rows"
received so far in it (each request's body is a JSON array of rows).
Used by scripts/check-package.sh and bench/daemon_scale.sh.
"""
import http.server
import json
import sys

count_file = sys.argv[1] if len(sys.argv) > 1 else None
requests = rows = 0


class Analytics(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        global requests, rows
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        requests += 1
        rows += len(json.loads(body))
        if count_file is not None:
            with open(count_file, "w") as out:
                out.write("%d %d\n" % (requests, rows))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


http.server.HTTPServer(("127.0.0.1", 15080), Analytics).serve_forever()
