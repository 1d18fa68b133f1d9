#!/usr/bin/python3
"""The web panel of mcu-agent-sim, driven in headless Chromium while an
application linked to the library runs against the same virtual MCU.

    panel_browser_test.py SIM APP API_HEADER ARTIFACT_DIR

Starts the virtual MCU with --http on a free port and the application
(tools/tests/panel/panel_app.c), opens the panel with the token URL the
virtual MCU printed and checks that: the token moves into a cookie that the
page's script cannot read and the page runs on the plain URL; requests
without the token are refused; a key pressed on the panel reaches the
application's handler; the
application's requests (a volume step, a tuning) show in the panel's state
and live log; other origins and hosts are refused and bad requests change
nothing; a capture and a scenario run from the panel.  The screenshot of
the panel is left in ARTIFACT_DIR/panel.png.
"""
import http.client
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import traceback

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

SIM, APP, API_HEADER, ARTIFACTS = sys.argv[1:5]
# Generous: these bound a wait, they are not a speed requirement.  How
# long the updates took is printed.
WAIT = 5.0


class Process:
    """A child whose standard output is read line by line in the background."""

    def __init__(self, argv, env=None):
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, env=env, bufsize=1)
        self.lines = queue.Queue()
        self.all = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.all.append(line.rstrip('\n'))
            self.lines.put(line.rstrip('\n'))

    def expect(self, pattern, timeout=WAIT):
        """The first line from now on that matches `pattern`, or None."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                return None
            m = re.search(pattern, line)
            if m:
                return m

    def drain(self):
        while not self.lines.empty():
            self.lines.get_nowait()

    def say(self, line):
        self.proc.stdin.write(line + '\n')
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()


def hard_key_values():
    with open(API_HEADER) as f:
        text = f.read()
    return {m.group(1): int(m.group(2), 0) for m in re.finditer(r'\b(HARD_KEY_\w+) = (0x[0-9A-Fa-f]+|\d+)', text)}


class PanelTest:
    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.keys = hard_key_values()
        self.tmp = tempfile.mkdtemp(prefix='panel-test-')
        self.socket = os.path.join(self.tmp, 'agent')
        self.sim = Process([SIM, '--socket', self.socket, '--no-console', '--http', '0'])
        m = self.sim.expect(r'panel: (http://127\.0\.0\.1:(\d+)/)\?token=([0-9a-f]{64})$')
        if not m:
            raise RuntimeError('the panel did not start:\n' + '\n'.join(self.sim.all))
        self.url, self.port, self.token = m.group(1), int(m.group(2)), m.group(3)
        self.token_url = m.group(0)[len('panel: '):]
        env = dict(os.environ, MCU_AGENT_SOCKET=self.socket)
        self.app = Process([APP], env=env)
        if not self.app.expect(r'^ready$'):
            raise RuntimeError('the application did not connect:\n' + '\n'.join(self.app.all))
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which('chromium') or '/usr/bin/chromium'
        for a in ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--no-first-run',
                  '--disable-background-networking', '--disable-component-update', '--disable-sync',
                  '--disable-quic', '--window-size=1400,1500', '--user-data-dir=' + os.path.join(self.tmp, 'profile')]:
            options.add_argument(a)
        self.driver = webdriver.Chrome(service=Service(shutil.which('chromedriver') or '/usr/bin/chromedriver'),
                                       options=options)

    def close(self):
        self.driver.quit()
        self.app.stop()
        self.sim.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def check(self, name, fn):
        try:
            fn()
            self.passed += 1
            print('ok -', name, flush=True)
        except Exception:
            self.failed += 1
            print('FAILED -', name, flush=True)
            traceback.print_exc()
            print('--- sim output (last 40 lines)\n' + '\n'.join(self.sim.all[-40:]), flush=True)

    # ---- helpers -------------------------------------------------------

    def wait(self, what, condition, timeout=WAIT):
        try:
            return WebDriverWait(self.driver, timeout, poll_frequency=0.02).until(lambda d: condition())
        except TimeoutException:
            raise AssertionError('timed out waiting for ' + what)

    def state_value(self, key):
        return self.driver.execute_script(
            'const i = document.querySelector(`#state-rows tr[data-state-key="${arguments[0]}"] .value`);'
            'return i ? i.value : null;', key)

    def log_text(self):
        return self.driver.find_element(By.ID, 'log').text

    def request(self, method, path, body=None, headers=None, token=True):
        """A request as the page makes it: with the token's cookie unless `token` is false."""
        c = http.client.HTTPConnection('127.0.0.1', self.port, timeout=WAIT)
        h = {'Content-Type': 'application/x-www-form-urlencoded'} if body is not None else {}
        if token:
            h['Cookie'] = f'mcu_panel_{self.port}={self.token}'
        h.update(headers or {})
        c.request(method, path, body=body, headers=h)
        r = c.getresponse()
        data = r.read().decode()
        c.close()
        return r.status, data

    def no_key_reaches_the_application(self):
        assert self.app.expect(r'^HARD_KEY', timeout=0.5) is None, 'a refused request reached the application'

    # ---- the checks ----------------------------------------------------

    def opens_live(self):
        self.driver.get(self.token_url)
        self.wait('the live stream', lambda: self.driver.find_element(By.ID, 'link').text == 'live')
        # The token left the address bar for a cookie the page's script
        # cannot read.
        assert self.driver.current_url == self.url, self.driver.current_url
        assert self.token not in self.driver.execute_script('return document.cookie'), 'the cookie is not HttpOnly'
        cookie = self.driver.get_cookie(f'mcu_panel_{self.port}')
        assert cookie and cookie['value'] == self.token and cookie['httpOnly'] and cookie['sameSite'] == 'Strict', \
            cookie
        self.wait('the application with its version answered',
                  lambda: 'answered' in self.driver.find_element(By.ID, 'clients').text)
        # The sliders take the ranges the state checks against.
        for slider, low, high in [('volume', '0', '40'), ('blower', '0', '15'), ('brightness', '0', '15')]:
            e = self.driver.find_element(By.ID, slider)
            assert (e.get_attribute('min'), e.get_attribute('max')) == (low, high), \
                f'{slider} slider: {e.get_attribute("min")} to {e.get_attribute("max")}'

    def key_reaches_handler(self):
        for name in ['HARD_KEY_SWC_NEXT', 'HARD_KEY_PRESET3', 'HARD_KEY_CMD_UP']:
            self.app.drain()
            self.driver.find_element(By.CSS_SELECTOR, f'button[data-key="{name}"]').click()
            m = self.app.expect(r'^HARD_KEY (\d+)$')
            assert m, f'{name} did not reach the handler'
            assert int(m.group(1)) == self.keys[name], f'{name}: handler got {m.group(1)}'
        self.wait('the key in the live log', lambda: 'key=HARD_KEY_CMD_UP' in self.log_text())

    def application_request_shows(self, command, before_key, expected, line):
        start = time.monotonic()
        self.app.say(command)
        self.wait(f'{before_key} = {expected}', lambda: self.state_value(before_key) == expected)
        self.wait(f'{line} in the live log', lambda: line in self.log_text())
        print(f'   {command!r}: state and log on the panel after {1000 * (time.monotonic() - start):.0f} ms')

    def volume_step_shows(self):
        before = int(self.state_value('audio.volume'))
        self.application_request_shows('volume up', 'audio.volume', str(before + 1), 'app > MCU_CMD_SET_ADJUST_VOLUME')

    def tuning_shows(self):
        self.application_request_shows('tune 10110', 'radio.freq', '10110', 'app > MCU_CMD_SET_RADIO_FREQ')

    def tokenless_requests_refused(self):
        # What another local user can send: everything but the token.
        for method, path, body in [('GET', '/', None), ('GET', '/events', None),
                                   ('POST', '/api/key', 'name=HARD_KEY_POWER'),
                                   ('POST', f'/api/key?token={self.token[:-1]}', 'name=HARD_KEY_POWER'),
                                   ('POST', '/api/scenario', 'text=replay+/dev/zero')]:
            status, body = self.request(method, path, body, token=False)
            assert status == 403, f'{method} {path}: {status} {body}'
        self.no_key_reaches_the_application()

    def other_origins_refused(self):
        for headers, why in [({'Origin': 'http://evil.example'}, 'another site'),
                             ({'Origin': 'null'}, 'an opaque origin'),
                             ({'Host': f'evil.example:{self.port}'}, 'a rebound host name'),
                             ({'Host': f'127.0.0.1:{self.port + 1}'}, 'another port')]:
            status, body = self.request('POST', '/api/key', 'name=HARD_KEY_POWER', headers)
            assert status == 403, f'{why}: {status} {body}'
        self.no_key_reaches_the_application()

    def cross_site_page_refused(self):
        # A page of another origin on this machine posts to the panel, as a
        # site in another tab could.
        other = Process([sys.executable, '-m', 'http.server', '--bind', '127.0.0.1', '0', '--directory', self.tmp])
        try:
            m = other.expect(r'port (\d+)')
            assert m, 'no second web server'
            self.driver.get(f'http://127.0.0.1:{m.group(1)}/')
            self.driver.execute_async_script(
                'const done = arguments[arguments.length - 1];'
                f'fetch("{self.url}api/key", {{method: "POST", mode: "no-cors", body: new URLSearchParams("name=HARD_KEY_POWER")}})'
                '.then(() => done(), () => done());')
            self.no_key_reaches_the_application()
            assert not re.search(r'agent > MCU_MSG_RET_HARD_KEY\(0x..\) key=HARD_KEY_POWER', '\n'.join(self.sim.all))
        finally:
            other.stop()
            self.driver.get(self.url)
            self.wait('the live stream', lambda: self.driver.find_element(By.ID, 'link').text == 'live')

    def bad_requests_change_nothing(self):
        blower = self.state_value('hvac.blower')
        for method, path, body, status in [
                ('GET', '/api/key?name=HARD_KEY_POWER', None, 405),
                ('POST', '/api/set', 'key=no.such.key&value=1', 400),
                ('POST', '/api/set', 'key=hvac.blower&value=99&report=MCU_MSG_RET_HVAC_INFO', 400),
                ('POST', '/api/set', 'key=hvac.blower&value=2&report=NO_SUCH_MESSAGE', 400),
                ('POST', '/api/key', 'name=HARD_KEY_NONE', 400),
                ('POST', '/api/key', 'name=%zz', 400),
                ('POST', '/api/turn', 'dir=up', 400),
                ('POST', '/api/key', 'x' * (300 * 1024), 413)]:
            got, text = self.request(method, path, body)
            assert got == status, f'{method} {path} {(body or "")[:60]}: {got} {text}'
            assert 'error' in text
        time.sleep(0.3)
        assert self.state_value('hvac.blower') == blower, 'a refused set changed hvac.blower'
        self.no_key_reaches_the_application()

    def state_edit_checked(self):
        row = self.driver.find_element(By.CSS_SELECTOR, '#state-rows tr[data-state-key="radio.presets.FM1"]')
        field = row.find_element(By.CSS_SELECTOR, '.value')
        field.clear()
        field.send_keys('1,2,x' + Keys.ENTER)
        self.wait('the refusal', lambda: 'refused' in row.get_attribute('class'))
        field = self.driver.find_element(By.CSS_SELECTOR, '#state-rows tr[data-state-key="audio.bass"] .value')
        field.clear()
        field.send_keys('9' + Keys.ENTER)
        self.wait('audio.bass = 9 in the log', lambda: 'audio.bass = 9' in self.log_text())

    def controls_report(self):
        self.driver.find_element(By.CSS_SELECTOR, '#hvac-toggles button[data-state-key="hvac.recirc"]').click()
        self.wait('the HVAC report', lambda: 'agent > MCU_MSG_RET_HVAC_INFO' in self.log_text())
        self.driver.find_element(By.ID, 'turn-cw').click()
        self.wait('the commander turn', lambda: 'encoder=ENCODER_CW_1PULSE' in self.log_text())
        self.driver.find_element(By.ID, 'ign-toggle').click()
        self.wait('ignition off', lambda: self.state_value('ignition') == '0')
        self.wait('the ignition report', lambda: 'agent > MCU_MSG_RET_IGN_ON_OFF_STATUS' in self.log_text())

    def log_filters(self):
        f = self.driver.find_element(By.ID, 'id-filter')
        f.send_keys('0x40')
        shown = [e.text for e in self.driver.find_elements(By.CSS_SELECTOR, '#log .entry') if e.is_displayed()]
        assert shown and all('MCU_CMD_SET_RADIO_FREQ' in t or 'RADIO' in t for t in shown), shown
        f.clear()
        f.send_keys(Keys.BACKSPACE)
        self.driver.find_element(By.ID, 'pause').click()
        count = len(self.driver.find_elements(By.CSS_SELECTOR, '#log .entry'))
        self.app.say('volume down')
        self.wait('the request held', lambda: 'waiting' in self.driver.find_element(By.ID, 'log-count').text)
        assert len(self.driver.find_elements(By.CSS_SELECTOR, '#log .entry')) == count
        self.driver.find_element(By.ID, 'pause').click()
        self.wait('the held lines', lambda: 'MCU_CMD_SET_ADJUST_VOLUME' in self.log_text().split('\n')[-1] or
                  len(self.driver.find_elements(By.CSS_SELECTOR, '#log .entry')) > count)

    def capture_downloads(self):
        self.driver.find_element(By.ID, 'capture-start').click()
        self.wait('recording', lambda: 'recording' in self.driver.find_element(By.ID, 'capture-status').text)
        self.driver.find_element(By.CSS_SELECTOR, 'button[data-key="HARD_KEY_SWC_NEXT"]').click()
        self.app.expect(r'^HARD_KEY')
        self.driver.find_element(By.ID, 'capture-stop').click()
        self.wait('stopped', lambda: 'captured' in self.driver.find_element(By.ID, 'capture-status').text)
        status, text = self.request('GET', '/api/capture')
        assert status == 200, status
        # MCU_MSG_RET_HARD_KEY is id 0x04, its one payload byte the key.
        assert re.search(r'^\(\d+\.\d{6}\) (#\d+ )?agent > 04#%02X$' % self.keys['HARD_KEY_SWC_NEXT'], text, re.M), text

    def scenario_runs(self):
        self.app.drain()
        area = self.driver.find_element(By.ID, 'scenario-text')
        area.clear()
        area.send_keys('0 key HARD_KEY_PRESET1\n0.3 set tft.brightness 3\n0.6 send MCU_MSG_RET_TFT_BRIGHTNESS_STATUS\n')
        self.driver.find_element(By.ID, 'scenario-load').click()
        m = self.app.expect(r'^HARD_KEY (\d+)$')
        assert m and int(m.group(1)) == self.keys['HARD_KEY_PRESET1'], m
        self.wait('the scenario done', lambda: '3 of 3 lines, done' in
                  self.driver.find_element(By.ID, 'scenario-status').text)
        self.wait('brightness 3', lambda: self.state_value('tft.brightness') == '3')

    def screenshot(self):
        os.makedirs(ARTIFACTS, exist_ok=True)
        self.driver.execute_script('document.getElementById("scenario-text").value = "";'
                                   'document.getElementById("log").scrollTop = 1e9;')
        path = os.path.join(ARTIFACTS, 'panel.png')
        assert self.driver.save_screenshot(path)
        print('   screenshot:', path)

    def run(self):
        self.check('the panel opens live and shows the application', self.opens_live)
        self.check('a key pressed on the panel reaches the handler as MCU_MSG_RET_HARD_KEY', self.key_reaches_handler)
        self.check("the application's volume step shows in the state and the log", self.volume_step_shows)
        self.check("the application's tuning shows in the state and the log", self.tuning_shows)
        self.check('requests without the token are refused', self.tokenless_requests_refused)
        self.check('other origins and hosts are refused', self.other_origins_refused)
        self.check('a page of another origin cannot press a key', self.cross_site_page_refused)
        self.check('bad requests get a 4xx and change nothing', self.bad_requests_change_nothing)
        self.check('the state table checks values like set', self.state_edit_checked)
        self.check('climate, commander and ignition controls report', self.controls_report)
        self.check('the log filters by id and pauses', self.log_filters)
        self.check('a capture is recorded and downloaded', self.capture_downloads)
        self.check('a scenario loaded on the panel runs', self.scenario_runs)
        self.check('a screenshot of the panel is kept', self.screenshot)


def main():
    test = PanelTest()
    try:
        test.run()
    finally:
        test.close()
    print(f'{test.passed} passed, {test.failed} failed')
    return 1 if test.failed else 0


if __name__ == '__main__':
    sys.exit(main())
