"""The 255-byte records two Caldervine copies exchange, for scripted peers and test clients.

A record is a tag ("File: " for a listing entry, "Down: " for a request), the name right-aligned
in 20 columns (longer names whole), 32 spaces, the number right-aligned in 10 columns as an
unsigned decimal, a zero byte, then zeros up to 255 bytes. Everything here works on bytes; names
may be given as str (encoded as Latin-1, one byte per character).
"""
import socket
import time

RECORD_SIZE = 255
LISTING_TAG = b"File: "
REQUEST_TAG = b"Down: "
SEPARATOR = b" " * 32


def _as_bytes(value):
    return value.encode("latin-1") if isinstance(value, str) else bytes(value)


def record_text(tag, name, number):
    """The text of a record (without the terminating zero)."""
    return _as_bytes(tag) + _as_bytes(name).rjust(20) + SEPARATOR + b"%10d" % number


def make_record(tag, name, number):
    """A whole record; ValueError when its text and zero byte do not fit in RECORD_SIZE."""
    text = record_text(tag, name, number)
    if len(text) >= RECORD_SIZE:
        raise ValueError(f"record text of {len(text)} bytes does not fit")
    return text.ljust(RECORD_SIZE, b"\0")


def listing_record(name, size):
    return make_record(LISTING_TAG, name, size)


def request_record(name, offset=0):
    return make_record(REQUEST_TAG, name, offset)


def compact_request(name, offset=0):
    """A request with a single space before the offset: the only way to ask for names too long
    for the usual layout (the program reads the fields by splitting at the spaces)."""
    text = REQUEST_TAG + _as_bytes(name) + b" " + b"%d" % offset
    if len(text) >= RECORD_SIZE:
        raise ValueError(f"record text of {len(text)} bytes does not fit")
    return text.ljust(RECORD_SIZE, b"\0")


def parse_record(record):
    """(tag, name, number) of a well-formed record; ValueError otherwise."""
    if len(record) != RECORD_SIZE:
        raise ValueError(f"record of {len(record)} bytes")
    end = record.find(b"\0", len(LISTING_TAG))
    if end < 0:
        raise ValueError("record without terminating zero")
    if record[end:] != b"\0" * (RECORD_SIZE - end):
        raise ValueError("record filler is not all zeros")
    tag, text = record[:6], record[6:end].rstrip(b" ")
    name, _, number = text.rpartition(b" ")
    name = name.strip(b" ")
    if not name or not number.isdigit():
        raise ValueError(f"malformed record text {text!r}")
    return tag, name, int(number)


def split_records(data):
    """Cuts `data` into RECORD_SIZE pieces; ValueError when it is not a whole number of them."""
    if len(data) % RECORD_SIZE:
        raise ValueError(f"{len(data)} bytes is not a whole number of records")
    return [data[i:i + RECORD_SIZE] for i in range(0, len(data), RECORD_SIZE)]


def recv_exactly(sock, count, timeout=10.0):
    """Reads until `count` bytes, end of stream, a reset or `timeout` seconds in all; returns what
    arrived (shorter than `count` when the stream stopped early)."""
    chunks, have = [], 0
    deadline = time.monotonic() + timeout
    while have < count:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        sock.settimeout(left)
        try:
            chunk = sock.recv(min(count - have, 1 << 20))
        except (socket.timeout, ConnectionResetError):
            break
        if not chunk:
            break
        chunks.append(chunk)
        have += len(chunk)
    return b"".join(chunks)


def recv_until_quiet(sock, quiet=1.5, limit=1 << 26):
    """Reads until nothing arrives for `quiet` seconds, the stream ends or `limit` bytes came."""
    chunks, have = [], 0
    sock.settimeout(quiet)
    while have < limit:
        try:
            chunk = sock.recv(1 << 20)
        except (socket.timeout, ConnectionResetError):
            break
        if not chunk:
            break
        chunks.append(chunk)
        have += len(chunk)
    return b"".join(chunks)


def wait_closed(sock, timeout=5.0):
    """Reads until the stream ends or is reset, or `timeout` seconds pass; returns (closed, the
    bytes read before the end)."""
    deadline = time.monotonic() + timeout
    chunks = []
    while time.monotonic() < deadline:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            chunk = sock.recv(1 << 20)
        except socket.timeout:
            break
        except (ConnectionResetError, BrokenPipeError):
            return True, b"".join(chunks)
        if not chunk:
            return True, b"".join(chunks)
        chunks.append(chunk)
    return False, b"".join(chunks)
