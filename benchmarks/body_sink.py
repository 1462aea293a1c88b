#!/usr/bin/python3
"""Takes request bodies of any size behind nginx and answers each with a short page.

Usage: body_sink.py PORT. Reads each body whole (Content-Length) into one fixed buffer, so it
costs little time and no memory; keeps connections open for the next request. Serves on
127.0.0.1 only.
"""
import socket
import sys
import threading

ANSWER = b"result=OK\n"
BLOCK = 1 << 20


def serve(conn):
    buffer = bytearray(BLOCK)
    view = memoryview(buffer)
    pending = b""
    with conn:
        while True:
            while b"\r\n\r\n" not in pending:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                pending += chunk
            head, _, rest = pending.partition(b"\r\n\r\n")
            length = 0
            for line in head.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value.strip())
            left = length - len(rest)
            pending = rest[length:] if left < 0 else b""
            while left > 0:
                n = conn.recv_into(view, min(left, BLOCK))
                if n == 0:
                    return
                left -= n
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: "
                         + str(len(ANSWER)).encode() + b"\r\n\r\n" + ANSWER)


def main():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(sys.argv[1])))
    listener.listen(16)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
