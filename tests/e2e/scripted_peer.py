"""A scripted sharing peer for the end-to-end tests of the fetching side.

It plays the other copy's part: it listens on host B's port 21120, takes the program's connection,
sends listing records and file bytes when the test says so, and collects every request record the
program sends. It can also serve requests by itself from a table of files. It sends strictly in
order, as a sharer does: a request is answered only once what the test is sending (pauses
included) has left.
"""
import queue
import select
import socket
import struct
import threading
import time

import harness
from peer_protocol import RECORD_SIZE, REQUEST_TAG, listing_record, parse_record, request_record


def entry_text(name, size):
    """What the program shows in its remote list for a listing record."""
    return listing_record(name, size)[6:].split(b"\0", 1)[0].decode("latin-1")


class Request:
    """One request record as the peer received it: name and offset read back from the text."""

    def __init__(self, raw):
        self.raw = raw
        self.received_at = time.monotonic()
        try:
            tag, name, self.offset = parse_record(raw)
            self.name = name.decode("latin-1") if tag == REQUEST_TAG else None
        except ValueError:
            self.name = self.offset = None

    def __repr__(self):
        return "Request(%r, %r)" % (self.name, self.offset)

    def well_formed(self):
        """True when the record is byte for byte what a request for (name, offset) must be."""
        return self.name is not None and self.raw == request_record(self.name, self.offset)


class ScriptedPeer:
    """The listening end on host B. One connection at a time; accept() takes the next one."""

    def __init__(self, host):
        self.host = host
        self.listener = harness.listen_on(host)
        self.conn = None
        self.requests = queue.Queue()
        self.files = {}          # name -> bytes, served on request
        self.extra_after = {}    # name -> bytes sent right after that file's data
        self.sending = threading.RLock()  # one sender at a time: the test's sends, then answers

    # -- connection -----------------------------------------------------------------------------
    def accept(self, timeout=15):
        self.disconnect()
        self.listener.settimeout(timeout)
        conn, _ = self.listener.accept()
        conn.settimeout(None)
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.conn = conn
        self.requests = queue.Queue()
        threading.Thread(target=self._read, args=(conn, self.requests), daemon=True).start()

    def pending(self, timeout=0.3):
        """True when a connection waits to be accepted."""
        ready, _, _ = select.select([self.listener], [], [], timeout)
        return bool(ready)

    def disconnect(self):
        if self.conn is not None:
            try:
                self.conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            self.conn.close()
            self.conn = None

    def stop_listening(self):
        """Nobody listens on B's port until listen() is called again."""
        self.disconnect()
        if self.listener is not None:
            self.listener.close()
            self.listener = None

    def listen(self):
        if self.listener is None:
            self.listener = harness.listen_on(self.host)

    close = stop_listening

    def reset(self):
        """Ends the connection with a reset instead of an orderly close."""
        if self.conn is not None:
            try:
                self.conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                # Wakes the reading thread without a FIN: the reset leaves only once nothing
                # holds the socket any more.
                self.conn.shutdown(socket.SHUT_RD)
            except OSError:
                pass
            self.conn.close()
            self.conn = None

    def _read(self, conn, requests):
        data = b""
        while True:
            try:
                chunk = conn.recv(4096)
            except OSError:
                break
            if not chunk:
                break
            data += chunk
            while len(data) >= RECORD_SIZE:
                request = Request(data[:RECORD_SIZE])
                data = data[RECORD_SIZE:]
                requests.put(request)
                if request.name in self.files:
                    self._serve(conn, request)
        if data:
            requests.put(Request(data))  # a cut record: reported as it is

    def _serve(self, conn, request):
        try:
            with self.sending:
                conn.sendall(self.files[request.name][request.offset or 0:] + self.extra_after.get(request.name, b""))
        except OSError:
            pass

    # -- sending --------------------------------------------------------------------------------
    def send(self, data):
        with self.sending:
            self.conn.sendall(data)

    def send_in_pieces(self, data, pieces, pauses):
        """Sends `data` cut into `pieces` parts, sleeping pauses[i] seconds after part i; returns
        the time the last part left. No answer leaves in between."""
        step = max(1, -(-len(data) // pieces))
        last = time.monotonic()
        with self.sending:
            for i, at in enumerate(range(0, len(data), step)):
                self.send(data[at:at + step])
                last = time.monotonic()
                if i < len(pauses) and at + step < len(data):
                    time.sleep(pauses[i])
        return last

    def send_listing(self, entries):
        """entries: [(name, size)], sent in one burst."""
        self.send(b"".join(listing_record(name, size) for name, size in entries))

    def serve(self, files, extra_after=None):
        """Answers each request for a name in `files` with the file's bytes from the offset on."""
        self.files = dict(files)
        self.extra_after = dict(extra_after or {})

    # -- receiving ------------------------------------------------------------------------------
    def next_request(self, timeout=10):
        try:
            return self.requests.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("the peer received no request within %s s" % timeout) from None

    def assert_no_request(self, within=1.5):
        try:
            request = self.requests.get(timeout=within)
        except queue.Empty:
            return
        raise AssertionError("the peer received an unexpected request: %r" % (request,))
