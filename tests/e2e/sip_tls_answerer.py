# SPDX-License-Identifier: Apache-2.0
"""A SIP user agent over TLS on loopback that takes calls for the end-to-end tests: it
accepts one connection, answers an INVITE with the SDP a test function writes, and answers
the far end's other requests (BYE, OPTIONS, ...) with 200."""
import random
import re
import socket
import ssl
import threading


class Request:
    def __init__(self, head, body):
        lines = head.split("\r\n")
        self.start = lines[0]
        self.method = self.start.split(" ", 1)[0]
        self.header_lines = lines[1:]
        self.body = body

    def headers(self, name):
        """The values of every `name` header, in order."""
        found = []
        for line in self.header_lines:
            key, _, value = line.partition(":")
            if key.strip().lower() == name.lower():
                found.append(value.strip())
        return found

    def header(self, name):
        values = self.headers(name)
        return values[0] if values else ""


class TlsAnswerer:
    """Listens on 127.0.0.1 (a free port) with `cert` ({"cert", "key"} paths); `answer(request)`
    writes the SDP of the 200 to an INVITE (it runs on the answerer's thread)."""

    def __init__(self, cert, answer, user="peer"):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert["cert"], cert["key"])
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.context = context
        self.answer = answer
        self.user = user
        self.to_tag = "%08x" % random.getrandbits(32)
        self.requests = []
        self.errors = []
        self.changed = threading.Condition()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def uri(self, user="gst"):
        return "sip:%s@127.0.0.1:%d;transport=tls" % (user, self.port)

    def wait_request(self, method, timeout=10.0):
        with self.changed:
            self.changed.wait_for(lambda: self.first(method) is not None, timeout)
            return self.first(method)

    def first(self, method):
        return next((r for r in self.requests if r.method == method), None)

    def stop(self):
        if self.running:
            self.running = False
            self.thread.join(5)
            self.listener.close()

    def _run(self):
        connection = None
        while self.running and connection is None:
            try:
                raw, _ = self.listener.accept()
            except socket.timeout:
                continue
            try:
                connection = self.context.wrap_socket(raw, server_side=True)
            except (ssl.SSLError, OSError) as error:
                self.errors.append("TLS handshake: %s" % error)
                raw.close()
        if connection is None:
            return
        connection.settimeout(0.2)
        with connection:
            self._serve(connection)

    def _serve(self, connection):
        data = b""
        while self.running:
            try:
                chunk = connection.recv(65536)
            except socket.timeout:
                continue
            except (ssl.SSLError, OSError) as error:
                self.errors.append("receive: %s" % error)
                return
            if not chunk:
                return
            data += chunk
            while True:
                data = data.lstrip(b"\r\n")  # keep-alives
                request, data = _take_message(data)
                if request is None:
                    break
                self._handle(connection, request)

    def _handle(self, connection, request):
        with self.changed:
            self.requests.append(request)
            self.changed.notify_all()
        if request.method == "ACK":
            return
        body = ""
        if request.method == "INVITE":
            try:
                body = self.answer(request)
            except Exception as error:  # the test sees it in `errors`; Quillet gets a 500
                self.errors.append("answer: %r" % error)
                connection.sendall(self._response(request, "500 Server Internal Error", ""))
                return
        connection.sendall(self._response(request, "200 OK", body))

    def _response(self, request, status, body):
        to = request.header("To")
        if ";tag=" not in to:
            to += ";tag=" + self.to_tag
        lines = ["SIP/2.0 " + status]
        lines += ["Via: " + v for v in request.headers("Via")]
        lines += ["From: " + request.header("From"), "To: " + to,
                  "Call-ID: " + request.header("Call-ID"), "CSeq: " + request.header("CSeq")]
        if request.method == "INVITE":
            lines.append("Contact: <sip:%s@127.0.0.1:%d;transport=tls>" % (self.user, self.port))
        if body:
            lines.append("Content-Type: application/sdp")
        lines.append("Content-Length: %d" % len(body.encode()))
        return ("\r\n".join(lines) + "\r\n\r\n" + body).encode()


def _take_message(data):
    """(the first whole message in `data`, the rest), or (None, data)."""
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return None, data
    head = data[:end].decode("utf-8", "replace")
    length = re.search(r"^(?:Content-Length|l)\s*:\s*(\d+)", head, re.I | re.M)
    size = int(length.group(1)) if length else 0
    if len(data) < end + 4 + size:
        return None, data
    body = data[end + 4:end + 4 + size].decode("utf-8", "replace")
    return Request(head, body), data[end + 4 + size:]
