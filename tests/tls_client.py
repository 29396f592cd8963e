# A TLS client for the tests, driven by steps on its command line:
#   python3 tls_client.py PORT CAFILE STEP...
# send:TEXT    sends TEXT and a line feed
# expect:TEXT  reads until TEXT and a line feed have arrived
# write:N      sends "write N" and reads the N bytes that come back
# eof          expects the server's close_notify (a clean end of its sending)
# reset        expects the connection to be reset
# unwrap       sends close_notify and waits for the server's
# close        closes the socket without close_notify
# Prints "ok" when every step went as expected.
import os
import socket
import ssl
import sys

port, cafile, steps = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
context = ssl.create_default_context(cafile=cafile)
raw = socket.create_connection(("127.0.0.1", port), timeout=10)
tls = context.wrap_socket(raw, server_hostname="localhost", suppress_ragged_eofs=False)


def read_exactly(count):
    data = b""
    while len(data) < count:
        chunk = tls.recv(count - len(data))
        if not chunk:
            sys.exit("the server ended its sending after %d of %d bytes" % (len(data), count))
        data += chunk
    return data


for step in steps:
    kind, _, argument = step.partition(":")
    if kind == "send":
        tls.sendall(argument.encode() + b"\n")
    elif kind == "expect":
        wanted = argument.encode() + b"\n"
        if read_exactly(len(wanted)) != wanted:
            sys.exit("unexpected reply to " + argument)
    elif kind == "write":
        tls.sendall(b"write " + argument.encode() + b"\n")
        read_exactly(int(argument))
    elif kind == "eof":
        if tls.recv(1) != b"":
            sys.exit("data instead of close_notify")
    elif kind == "reset":
        # Python's ssl reports a reset like an end without close_notify: the
        # TCP socket under it tells them apart.
        under = socket.socket(fileno=os.dup(tls.fileno()))
        under.settimeout(10)
        try:
            while under.recv(65536):
                pass
            sys.exit("closed without a reset")
        except ConnectionResetError:
            pass
    elif kind == "unwrap":
        tls.unwrap().close()
    elif kind == "close":
        tls.close()
    else:
        sys.exit("unknown step " + step)
print("ok")
