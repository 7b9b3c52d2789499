"""A time-stamp authority for the tests, on 127.0.0.1 only.

    tsa.py FOLDER

FOLDER holds tsa.pem (its certificate), tsa.key and tsa.cnf (openssl ts's
configuration). Serves, until killed:
  POST /rfc3161  an RFC 3161 request, answered by `openssl ts -reply`;
  POST /legacy   a legacy Authenticode request (base64 DER: the signature's
                 encrypted digest in a ContentInfo), answered by a base64 CMS
                 signature over that digest by the same key, dated now.
Writes the port it listens on to FOLDER/port. Requests are bounded: at most
64 KiB each, 10 s of openssl each, 200 in all; a client silent for 10 s is
dropped; and the authority ends itself after 15 minutes, should the test that
started it be killed before it can stop it.
"""
import base64
import http.server
import os
import signal
import subprocess
import sys
import tempfile

from asn1crypto import cms, parser

folder = sys.argv[1]
LARGEST, BUDGET = 64 << 10, [200]


def digest_to_stamp(request):
    """The signature digest a legacy request carries: the contents of the
    ContentInfo that ends its outer SEQUENCE."""
    contents, last = parser.parse(request, strict=True)[4], b""
    while contents:
        size = parser.peek(contents)
        last, contents = contents[:size], contents[size:]
    return cms.ContentInfo.load(last)["content"].native


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, timeout=10, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Authority(http.server.BaseHTTPRequestHandler):
    timeout = 10
    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        if BUDGET[0] <= 0 or not 0 < length <= LARGEST:
            return self.send_error(413)
        BUDGET[0] -= 1
        request = self.rfile.read(length)
        with tempfile.TemporaryDirectory() as work:
            query, answer = os.path.join(work, "query"), os.path.join(work, "answer")
            try:
                if self.path == "/rfc3161":
                    with open(query, "wb") as f:
                        f.write(request)
                    openssl("ts", "-reply", "-config", f"{folder}/tsa.cnf", "-queryfile", query, "-out", answer)
                    kind = "application/timestamp-reply"
                elif self.path == "/legacy":
                    with open(query, "wb") as f:
                        f.write(digest_to_stamp(base64.b64decode(request)))
                    openssl("cms", "-sign", "-binary", "-nodetach", "-md", "sha1", "-in", query,
                            "-signer", f"{folder}/tsa.pem", "-inkey", f"{folder}/tsa.key",
                            "-outform", "DER", "-out", answer)
                    kind = "application/octet-stream"
                else:
                    return self.send_error(404)
                with open(answer, "rb") as f:
                    body = f.read()
            except (subprocess.SubprocessError, ValueError, TypeError, KeyError):
                return self.send_error(400)
        if self.path == "/legacy":
            body = base64.b64encode(body)
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


signal.alarm(15 * 60)
server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
with open(os.path.join(folder, "port.partial"), "w") as f:
    f.write(str(server.server_address[1]))
os.replace(os.path.join(folder, "port.partial"), os.path.join(folder, "port"))
server.serve_forever()
