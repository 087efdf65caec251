# SPDX-License-Identifier: MIT
"""The service's end of the agent socket, for the agent's tests: accepts the agent, sends it lines
and reads its answers."""

import json
import socket


class Service:
    def __init__(self, path, backlog=4):
        self.path = path
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(backlog)
        self.listener.settimeout(10)
        self.conn = None
        self.buffer = b''

    def accept(self):
        self.conn, _ = self.listener.accept()
        self.buffer = b''

    def say(self, message):
        self.conn.sendall((json.dumps(message, separators=(',', ':')) + '\n').encode())

    def ask(self, question, origin, waiting=0):
        self.say({'ask': question, 'origin': origin, 'waiting': waiting})

    def next(self, timeout=5):
        """The agent's next line as parsed JSON; None when none came in time, 'EOF' when it closed."""
        self.conn.settimeout(timeout)
        while b'\n' not in self.buffer:
            try:
                chunk = self.conn.recv(4096)
            except socket.timeout:
                return None
            if not chunk:
                return 'EOF'
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b'\n', 1)
        return json.loads(line)

    def close(self):
        if self.conn:
            self.conn.close()
        self.listener.close()
