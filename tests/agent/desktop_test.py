#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# tokenbridge-agent on real desktops: a virtual X screen (Xvfb), a session bus (run under
# dbus-run-session) and the notification servers as Debian ships them. xfce4-notifyd shows the
# question as a notification with its buttons; dunst shows actions only in a menu, so the agent
# asks in its own window, answered here with the keyboard as a person would, or closed. A
# screenshot of each question goes to the folder named by the second argument.
# Exit 77 (skipped) when the packages are missing; scripts/setup.sh installs them.
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from agent_service import Service

AGENT = sys.argv.pop(1)
ARTIFACTS = sys.argv.pop(1)
XFCE4_NOTIFYD = '/usr/lib/x86_64-linux-gnu/xfce4/notifyd/xfce4-notifyd'
NOTIFICATIONS = 'org.freedesktop.Notifications'

try:
    import dbus
    from Xlib import X, display, protocol
except ImportError as missing:
    print(f'SKIP: {missing}')
    sys.exit(77)
for program in ('Xvfb', 'xdotool', 'import', 'dunst', 'dunstctl'):
    if not shutil.which(program):
        print(f'SKIP: {program} is not installed')
        sys.exit(77)


def xdotool(*args):
    return subprocess.run(['xdotool'] + list(args), capture_output=True, text=True, timeout=10).stdout.split()


def wait_until(what, check, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = check()
        if found:
            return found
        time.sleep(0.05)
    raise AssertionError(f'timed out waiting for {what}')


class Desktop(unittest.TestCase):
    """One virtual screen for all the tests; each class starts its notification server."""

    server = None

    @classmethod
    def setUpClass(cls):
        os.makedirs(ARTIFACTS, exist_ok=True)
        cls.home = tempfile.TemporaryDirectory()
        read, write = os.pipe()
        cls.xvfb = subprocess.Popen(['Xvfb', '-displayfd', str(write), '-screen', '0', '1024x768x24', '-nolisten', 'tcp'],
                                    pass_fds=[write], stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as numbers:
            number = numbers.readline().strip()
        # The servers' own settings as shipped: no user configuration.
        cls.env = dict(os.environ, DISPLAY=f':{number}', XDG_CONFIG_HOME=os.path.join(cls.home.name, 'config'),
                       HOME=cls.home.name, NO_AT_BRIDGE='1')
        os.environ.update(cls.env)
        cls.bus = dbus.SessionBus()
        cls.server_process = subprocess.Popen(cls.server, env=cls.env, stdout=subprocess.DEVNULL,
                                              stderr=subprocess.DEVNULL)
        wait_until(f'{cls.server[0]} on the session bus', lambda: cls.bus.name_has_owner(NOTIFICATIONS))

    @classmethod
    def tearDownClass(cls):
        cls.server_process.terminate()
        cls.server_process.wait()
        wait_until('the notification name to be free', lambda: not cls.bus.name_has_owner(NOTIFICATIONS))
        cls.xvfb.terminate()
        cls.xvfb.wait()
        cls.home.cleanup()

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.service = Service(os.path.join(self.dir.name, 'agent.sock'))
        self.agent = subprocess.Popen([AGENT, '--socket', os.path.join(self.dir.name, 'agent.sock')],
                                      stderr=subprocess.PIPE, text=True, env=self.env)
        self.service.accept()

    def tearDown(self):
        if self.agent.poll() is None:
            self.agent.kill()
        self.agent.wait()
        self.agent.stderr.close()
        self.service.close()
        self.dir.cleanup()

    def screenshot(self, name):
        subprocess.run(['import', '-window', 'root', os.path.join(ARTIFACTS, name)], check=True, timeout=20)


class XfceNotifyd(Desktop):
    server = [XFCE4_NOTIFYD]

    def notification_windows(self):
        return xdotool('search', '--onlyvisible', '--classname', 'xfce4-notifyd')

    def test_the_question_is_a_notification_and_a_click_on_it_is_block(self):
        self.service.ask('1', 'https://login.xn--bcher-kva.example.com', waiting=2)
        window = wait_until('the notification', self.notification_windows)[0]
        time.sleep(0.5)  # its fade-in
        self.screenshot('xfce4-notifyd.png')
        # Into the text, away from the buttons: the notification's own click, which is Block.
        xdotool('mousemove', '--window', window, '120', '40', 'click', '1')
        self.assertEqual(self.service.next(timeout=10), {'answer': '1', 'decision': 'block', 'remember': False})

    def test_the_four_buttons_in_a_row_give_their_answers(self):
        # Four buttons of equal width along the bottom: with a fifth (a second Block for the
        # `default` action) each click here would land on another button.
        cases = [(0, 'block', False), (1, 'block', True), (2, 'allow', False), (3, 'allow', True)]
        for number, (button, decision, remember) in enumerate(cases, start=1):
            with self.subTest(button=button):
                self.service.ask(str(number), 'https://site.example')
                window = wait_until('the notification', self.notification_windows)[0]
                time.sleep(0.5)
                geometry = subprocess.run(['xdotool', 'getwindowgeometry', '--shell', window], capture_output=True,
                                          text=True, timeout=10).stdout
                size = dict(line.split('=') for line in geometry.split())
                width, height = int(size['WIDTH']), int(size['HEIGHT'])
                x = 14 + (width - 28) * (2 * button + 1) // 8
                xdotool('mousemove', '--window', window, str(x), str(height - 30), 'click', '1')
                self.assertEqual(self.service.next(timeout=10), {'answer': str(number), 'decision': decision,
                                                         'remember': remember})
                wait_until('the notification to go', lambda: not self.notification_windows(), timeout=5)

    def test_a_stopped_agent_takes_its_notification_down(self):
        self.service.ask('1', 'https://site.example')
        wait_until('the notification', self.notification_windows)
        self.agent.send_signal(signal.SIGTERM)
        self.assertEqual(self.agent.wait(timeout=5), -signal.SIGTERM)
        wait_until('the notification to go', lambda: not self.notification_windows(), timeout=5)


class DunstWindow(Desktop):
    server = ['dunst']

    def question_windows(self):
        return xdotool('search', '--onlyvisible', '--name', '^tokenbridge$')

    def shown(self, question, origin, waiting=0):
        self.service.ask(question, origin, waiting)
        window = wait_until('the window', self.question_windows)[0]
        time.sleep(0.7)  # the Allow buttons wake 0.5 s after the window shows
        xdotool('windowfocus', '--sync', window)
        return window

    def close(self, window):
        """What a window manager does for the window's close button."""
        screen = display.Display()
        target = screen.create_resource_object('window', int(window))
        message = protocol.event.ClientMessage(
            window=target, client_type=screen.intern_atom('WM_PROTOCOLS'),
            data=(32, [screen.intern_atom('WM_DELETE_WINDOW'), X.CurrentTime, 0, 0, 0]))
        target.send_event(message)
        screen.sync()  # processed by the server before the connection goes
        screen.close()

    def test_dunst_leaves_the_question_to_a_window(self):
        self.shown('1', 'http://shop.xn--bcher-kva.example.com:8080', waiting=1)
        self.screenshot('dunst-window.png')
        # Nothing went to dunst, whose actions a person would not find.
        displayed = subprocess.run(['dunstctl', 'count', 'displayed'], capture_output=True, text=True, timeout=10)
        self.assertEqual(displayed.stdout.strip(), '0')
        xdotool('key', 'Escape')
        self.assertEqual(self.service.next(timeout=10), {'answer': '1', 'decision': 'block', 'remember': False})
        wait_until('the window to go', lambda: not self.question_windows(), timeout=5)
        self.assertIn('asking in a window: the notification server (dunst)', self.agent.stderr.readline())

    def test_each_answer_in_the_window(self):
        cases = [
            ('Allow once', ['key', 'alt+a'], 'allow', False),
            ('Always allow', ['key', 'alt+w'], 'allow', True),
            ('Always block', ['key', 'alt+b'], 'block', True),
            ('Block, the default', ['key', 'Return'], 'block', False),
            ('Escape', ['key', 'Escape'], 'block', False),
            ('closed', None, 'block', False),
        ]
        for number, (what, keys, decision, remember) in enumerate(cases, start=1):
            with self.subTest(what):
                window = self.shown(str(number), 'https://bank.example.co.uk')
                if number == 1:
                    self.screenshot('window.png')
                if keys:
                    xdotool(*keys)
                else:
                    self.close(window)
                self.assertEqual(self.service.next(timeout=10), {'answer': str(number), 'decision': decision,
                                                         'remember': remember})
                wait_until('the window to go', lambda: not self.question_windows(), timeout=5)

    def test_the_window_goes_when_the_question_is_withdrawn_the_service_is_lost_or_the_agent_stopped(self):
        self.shown('1', 'https://site.example')
        self.service.conn.sendall(b'{"withdraw":"1"}\n')
        wait_until('the window to go', lambda: not self.question_windows(), timeout=5)

        self.shown('2', 'https://site.example')
        self.service.conn.close()
        wait_until('the window to go', lambda: not self.question_windows(), timeout=5)
        self.service.accept()

        self.shown('3', 'https://site.example')
        self.agent.send_signal(signal.SIGTERM)
        self.assertEqual(self.agent.wait(timeout=5), -signal.SIGTERM)
        wait_until('the window to go', lambda: not self.question_windows(), timeout=5)


if __name__ == '__main__':
    unittest.main(verbosity=2)
