#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# tokenbridge-agent against a mock notification server on a private session bus (run under
# dbus-run-session) and a stand-in for the service's agent socket that this test speaks itself.
# Buttons are pressed by making the mock emit ActionInvoked, as a real server would.
import os
import subprocess
import sys
import tempfile
import time
import unittest

import dbus
import dbus.lowlevel
import dbusmock

from agent_service import Service

AGENT = sys.argv.pop(1)
NOTIFY = ('org.freedesktop.Notifications', '/org/freedesktop/Notifications', 'org.freedesktop.Notifications')


class AgentTest(dbusmock.DBusTestCase):
    def start(self, capabilities='actions body body-markup', subdirectory=''):
        self.mock_process, self.mock = self.spawn_server_template(
            'notification_daemon', {'capabilities': capabilities}, stdout=subprocess.DEVNULL)
        self.mock_calls = dbus.Interface(self.mock, dbusmock.MOCK_IFACE)
        self.start_agent(subdirectory)

    def start_agent(self, subdirectory=''):
        self.dir = tempfile.TemporaryDirectory()
        if subdirectory:
            os.mkdir(os.path.join(self.dir.name, subdirectory))
        self.service = Service(os.path.join(self.dir.name, subdirectory, 'agent.sock'))
        self.agent = subprocess.Popen([AGENT, '--socket', self.service.path], stderr=subprocess.PIPE, text=True)
        self.service.accept()

    def stop_agent(self):
        if getattr(self, 'agent', None):
            self.agent.kill()
            self.agent.wait()
            self.agent.stderr.close()
        if getattr(self, 'service', None):
            self.service.close()
            self.dir.cleanup()

    def tearDown(self):
        self.stop_agent()
        if getattr(self, 'mock_process', None):
            self.mock_process.terminate()
            self.mock_process.wait()

    def calls(self, method):
        return [call for call in self.mock_calls.GetCalls() if call[1] == method]

    def wait_for_calls(self, method, count):
        for _ in range(100):
            found = self.calls(method)
            if len(found) >= count:
                return found
            time.sleep(0.05)
        self.fail(f'{method} not called {count} time(s): {self.mock_calls.GetCalls()}')

    def ask(self, question, origin, count=1):
        self.service.say({'ask': question, 'origin': origin})
        return self.wait_for_calls('Notify', count)[-1][2]

    def press(self, notification, key):
        self.mock_calls.EmitSignal(NOTIFY[2], 'ActionInvoked', 'us', [dbus.UInt32(notification), key])

    def test_each_button_gives_its_answer(self):
        self.start()
        cases = [
            ('allow', 'allow', False),
            ('allow-always', 'allow', True),
            ('block', 'block', False),
            ('block-always', 'block', True),
            ('default', 'block', False),  # a click on the notification itself
        ]
        for number, (key, decision, remember) in enumerate(cases, start=1):
            with self.subTest(key=key):
                args = self.ask(str(number), 'https://site.example', number)
                app, replaces, icon, summary, body, actions, hints, expire = args
                self.assertIn('Address: https://<b>site.example</b>', body)
                # One Block button: the click on the notification itself has no label, as servers that
                # show `default` as a button too would otherwise show Block twice.
                self.assertEqual(list(actions), ['default', '', 'block', 'Block', 'block-always', 'Always block',
                                                 'allow', 'Allow once', 'allow-always', 'Always allow'])
                self.assertEqual(int(expire), 0)
                self.press(number, key)
                self.assertEqual(self.service.next(), {'answer': str(number), 'decision': decision, 'remember': remember})

    def test_closing_the_notification_is_block(self):
        self.start()
        self.ask('7', 'https://site.example')
        self.mock_calls.EmitSignal(NOTIFY[2], 'NotificationClosed', 'uu', [dbus.UInt32(1), dbus.UInt32(2)])
        self.assertEqual(self.service.next(), {'answer': '7', 'decision': 'block', 'remember': False})

    def test_a_button_press_from_another_program_is_ignored(self):
        self.start()
        self.ask('1', 'https://site.example')
        forged = dbus.lowlevel.SignalMessage(NOTIFY[1], NOTIFY[2], 'ActionInvoked')
        forged.append(dbus.UInt32(1), 'allow', signature='us')
        self.get_dbus().send_message(forged)
        self.assertIsNone(self.service.next(timeout=0.5))
        self.press(1, 'block')
        self.assertEqual(self.service.next(), {'answer': '1', 'decision': 'block', 'remember': False})

    def test_withdraw_takes_the_notification_down_and_late_presses_count_for_nothing(self):
        self.start()
        self.ask('1', 'https://site.example')
        self.service.say({'withdraw': '1'})
        self.wait_for_calls('CloseNotification', 1)
        self.press(1, 'allow')
        self.assertIsNone(self.service.next(timeout=0.5))

    def test_the_origin_shows_exactly_as_sent(self):
        self.start()
        body = self.ask('1', 'https://a&b<c>.example')[4]
        self.assertTrue(body.startswith('Site: <b>https://a&amp;b&lt;c&gt;.example</b>\n'), body)
        self.assertNotIn('<c>', body)
        self.mock_process.terminate()
        self.mock_process.wait()
        self.mock_process = None
        self.stop_agent()
        self.start(capabilities='actions body')
        body = self.ask('1', 'https://a&b.example')[4]
        self.assertTrue(body.startswith('Site: https://a&b.example\n'), body)

    def test_the_question_names_the_asker_the_site_and_the_others_waiting(self):
        self.start()
        self.service.say({'ask': '1', 'origin': 'http://shop.xn--bcher-kva.example', 'waiting': 2})
        summary, body = self.wait_for_calls('Notify', 1)[-1][2][3:5]
        self.assertEqual(summary, 'tokenbridge: may this site use your token?')
        for part in ('Site: <b>b\u00fccher.example</b>', '(shop.xn--bcher-kva.example)', 'Not encrypted',
                     'try your PIN', '2 other sites are waiting', 'tokenbridge-agent --list and --forget'):
            self.assertIn(part, body)

    def test_a_stopped_agent_takes_its_question_down(self):
        self.start()
        for number, signal in enumerate((15, 2, 1), start=1):  # SIGTERM, SIGINT, SIGHUP
            with self.subTest(signal=signal):
                if number > 1:
                    self.stop_agent()
                    self.start_agent()
                self.ask(str(number), 'https://site.example', number)
                self.agent.send_signal(signal)
                self.assertEqual(self.agent.wait(timeout=5), -signal)
                closed = self.wait_for_calls('CloseNotification', number)
                self.assertEqual(list(closed[-1][2]), [number])

    def test_a_stopped_agent_with_nothing_on_screen_just_ends(self):
        self.start()
        self.agent.send_signal(15)
        self.assertEqual(self.agent.wait(timeout=5), -15)
        self.assertEqual(self.calls('CloseNotification'), [])

    def test_losing_the_service_takes_the_question_down(self):
        self.start()
        self.ask('1', 'https://site.example')
        self.service.conn.close()
        self.assertEqual(list(self.wait_for_calls('CloseNotification', 1)[-1][2]), [1])
        self.service.accept()  # and it comes back for the next question

    def test_reconnects_when_the_service_restarts(self):
        self.start()
        self.service.conn.close()
        self.service.accept()  # the agent retries every 2 s
        self.ask('1', 'https://site.example')
        self.press(1, 'allow')
        self.assertEqual(self.service.next(), {'answer': '1', 'decision': 'allow', 'remember': False})

    def test_back_at_once_when_the_socket_returns_after_a_long_absence(self):
        # The service away 3 s (its socket file gone, or its whole runtime directory), then back:
        # the agent connects within a moment of the socket listening, not at its next timed try.
        for gone in ('socket', 'directory'):
            with self.subTest(gone=gone):
                self.start(subdirectory='run')
                self.service.close()
                os.unlink(self.service.path)
                if gone == 'directory':
                    os.rmdir(os.path.dirname(self.service.path))
                time.sleep(3)
                os.makedirs(os.path.dirname(self.service.path), exist_ok=True)
                began = time.monotonic()
                self.service = Service(self.service.path)
                self.service.accept()
                took = time.monotonic() - began
                print(f'agent back {took * 1000:.0f} ms after the socket returned ({gone} gone)', file=sys.stderr)
                self.assertLess(took, 0.3)
                self.ask('1', 'https://site.example')
                self.press(1, 'allow')
                self.assertEqual(self.service.next(), {'answer': '1', 'decision': 'allow', 'remember': False})
                self.tearDown()
                self.agent = self.service = self.mock_process = None

    def run_without_display(self, capabilities, server_name=None):
        process, mock = self.spawn_server_template('notification_daemon', {'capabilities': capabilities},
                                                   stdout=subprocess.DEVNULL)
        if server_name:
            dbus.Interface(mock, dbusmock.MOCK_IFACE).AddMethod(
                NOTIFY[2], 'GetServerInformation', '', 'ssss', f'ret = ("{server_name}", "vendor", "1.9.0", "1.2")')
        env = {key: value for key, value in os.environ.items() if key not in ('DISPLAY', 'WAYLAND_DISPLAY')}
        try:
            return subprocess.run([AGENT, '--socket', '/nonexistent'], capture_output=True, text=True, timeout=10,
                                  env=env)
        finally:
            process.terminate()
            process.wait()

    def test_without_buttons_or_a_display_it_says_so_and_ends(self):
        ended = self.run_without_display('body')
        self.assertEqual(ended.returncode, 1)
        self.assertIn('no way to ask: the notification server shows no buttons; no display to open a window on',
                      ended.stderr)

    def test_servers_that_hide_their_actions_in_a_menu_are_left_to_the_window(self):
        # Both take "actions", but show none as a button: the window must ask.
        for name in ('dunst', 'mako'):
            with self.subTest(name=name):
                ended = self.run_without_display('actions body body-markup', server_name=name)
                self.assertEqual(ended.returncode, 1)
                self.assertIn(f'no way to ask: the notification server ({name}) shows its actions only in a menu; '
                              'no display', ended.stderr)
        # Any other name with actions gets the notification.
        process, mock = self.spawn_server_template('notification_daemon', {'capabilities': 'actions body'},
                                                   stdout=subprocess.DEVNULL)
        dbus.Interface(mock, dbusmock.MOCK_IFACE).AddMethod(
            NOTIFY[2], 'GetServerInformation', '', 'ssss', 'ret = ("Xfce Notify Daemon", "Xfce", "0.7.3", "1.2")')
        try:
            agent = subprocess.Popen([AGENT, '--socket', '/nonexistent'], stderr=subprocess.PIPE, text=True)
            time.sleep(0.5)
            self.assertIsNone(agent.poll())  # waiting for the service, with the notification to ask with
            agent.terminate()
            self.assertNotIn('window', agent.communicate(timeout=5)[1])
        finally:
            process.terminate()
            process.wait()


class CommandTest(unittest.TestCase):
    """--list and --forget: one request, the reply printed."""

    def run_command(self, args, reply):
        with tempfile.TemporaryDirectory() as directory:
            service = Service(os.path.join(directory, 'agent.sock'))
            agent = subprocess.Popen([AGENT, '--socket', service.path] + args, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
            service.accept()
            request = service.next()
            service.say({'ask': '9', 'origin': 'https://not.for.commands'})
            service.say(reply)
            out, err = agent.communicate(timeout=10)
            service.close()
            return request, agent.returncode, out, err

    def test_each_command_sends_its_request_and_prints_the_reply(self):
        cases = [
            (['--list'], {'remembered': [{'origin': 'https://a.example', 'decision': 'allow'},
                                         {'origin': 'https://b.example', 'decision': 'block'}]},
             {'list': True}, 0, 'allow https://a.example\nblock https://b.example\n', ''),
            (['--list'], {'remembered': []}, {'list': True}, 0, 'no remembered answers\n', ''),
            (['--forget', 'https://a.example'], {'forgot': 'https://a.example', 'found': True},
             {'forget': 'https://a.example'}, 0, '', ''),
            (['--forget', 'https://z.example'], {'forgot': 'https://z.example', 'found': False},
             {'forget': 'https://z.example'}, 1, '', 'nothing remembered for https://z.example'),
        ]
        for args, reply, request, code, out, err in cases:
            with self.subTest(args=args, reply=reply):
                sent, returncode, printed, said = self.run_command(args, reply)
                self.assertEqual(sent, request)
                self.assertEqual(returncode, code)
                self.assertEqual(printed, out)
                self.assertIn(err, said)

    def test_no_service_is_an_error_line(self):
        ended = subprocess.run([AGENT, '--socket', '/nonexistent/agent.sock', '--list'], capture_output=True,
                               text=True, timeout=10)
        self.assertEqual(ended.returncode, 1)
        self.assertIn('cannot reach the service at /nonexistent/agent.sock', ended.stderr)

    def test_help_and_version_print_on_standard_output(self):
        for args, first in ((['--help'], 'usage: tokenbridge-agent'), (['-h'], 'usage: tokenbridge-agent'),
                            (['--version'], 'tokenbridge-agent ')):
            with self.subTest(args=args):
                ended = subprocess.run([AGENT] + args, capture_output=True, text=True, timeout=10)
                self.assertEqual(ended.returncode, 0)
                self.assertTrue(ended.stdout.startswith(first), ended.stdout)
                self.assertEqual(ended.stderr, '')
        version = subprocess.run([AGENT, '--version'], capture_output=True, text=True, timeout=10).stdout
        self.assertRegex(version, r'^tokenbridge-agent \d+\.\d+\.\d+\n$')

    def test_bad_arguments_print_the_usage(self):
        for args in (['--forget'], ['--list', '--forget', 'x'], ['--bogus']):
            with self.subTest(args=args):
                ended = subprocess.run([AGENT] + args, capture_output=True, text=True, timeout=10)
                self.assertEqual(ended.returncode, 1)
                self.assertIn('usage: tokenbridge-agent', ended.stderr)


if __name__ == '__main__':
    unittest.main(verbosity=2)
