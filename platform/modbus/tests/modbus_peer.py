#!/usr/bin/python3
"""Modbus TCP peers that misbehave, for the tests: raw sockets, no library.

usage:
  modbus_peer.py device PORT MODE       a device on 127.0.0.1:PORT answering every
        read with registers 0x1234; MODE spoils each reply: good, unit (another
        unit id), tid (another transaction id), function (another function code),
        count (a byte count that does not fit), silent (no reply). Prints "ready".
  modbus_peer.py ask PORT UNIT HEXPDU   one request; prints the reply PDU in hex,
        or "closed" when the server closed the connection.
  modbus_peer.py hostile PORT SECONDS   three masters that misbehave at once for a
        while: one never reads its replies, one sends a byte every 0.4 s, one
        sends half a frame. Prints "started" once all three are connected.
"""
import socket
import struct
import sys
import time


def frame(tid, unit, pdu):
    return struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu


def receive(sock, n):
    data = b""
    while len(data) < n:
        part = sock.recv(n - len(data))
        if not part:
            return None
        data += part
    return data


def device(port, mode):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(4)
    print("ready", flush=True)
    while True:
        conn, _ = listener.accept()
        while True:
            header = receive(conn, 7)
            if header is None:
                break
            tid, _, length, unit = struct.unpack(">HHHB", header)
            pdu = receive(conn, length - 1)
            if pdu is None:
                break
            if mode == "silent":
                continue
            function, _, count = struct.unpack(">BHH", pdu[:5])
            reply = struct.pack(">BB", function, 2 * count) + b"\x12\x34" * count
            if mode == "unit":
                unit = (unit + 1) % 256
            elif mode == "tid":
                tid = (tid + 1) % 65536
            elif mode == "function":
                reply = bytes([function ^ 0x07]) + reply[1:]
            elif mode == "count":
                reply = reply[:1] + bytes([reply[1] + 2]) + reply[2:] + b"\x00\x00"
            conn.sendall(frame(tid, unit, reply))
        conn.close()


def ask(port, unit, pdu):
    sock = socket.create_connection(("127.0.0.1", port), timeout=5)
    try:
        sock.sendall(frame(7, unit, pdu))
        header = receive(sock, 7)
        if header is None:
            print("closed")
            return
        reply = receive(sock, struct.unpack(">H", header[4:6])[0] - 1)
        print(reply.hex() if reply is not None else "closed")
    except (ConnectionResetError, BrokenPipeError):
        print("closed")


def hostile(port, seconds):
    request = frame(1, 255, bytes.fromhex("0300000001"))
    never_reads = socket.create_connection(("127.0.0.1", port))
    never_reads.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    trickle = socket.create_connection(("127.0.0.1", port))
    half = socket.create_connection(("127.0.0.1", port))
    half.sendall(request[:5])
    never_reads.setblocking(False)
    print("started", flush=True)
    end = time.monotonic() + seconds
    at = 0
    next_byte = 0.0
    while time.monotonic() < end:
        try:
            never_reads.send(request * 256)
        except (BlockingIOError, OSError):
            pass
        now = time.monotonic()
        if now >= next_byte:
            try:
                trickle.send(request[at % len(request):at % len(request) + 1])
            except OSError:
                pass
            at += 1
            next_byte = now + 0.4
        time.sleep(0.01)


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "device":
        device(int(sys.argv[2]), sys.argv[3])
    elif command == "ask":
        ask(int(sys.argv[2]), int(sys.argv[3]), bytes.fromhex(sys.argv[4]))
    elif command == "hostile":
        hostile(int(sys.argv[2]), float(sys.argv[3]))
