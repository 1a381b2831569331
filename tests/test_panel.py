#!/usr/bin/python3
"""corvane-panel against corvanebs-sim on the demo board (PWM1, REL1, TMP1, AIO3), both child
processes on loopback ports. Usage: test_panel.py SIM PANEL CASE SCREENSHOT, CASE one of
Api, Restart, Browser (Debian's chromium through chromium-driver; saves SCREENSHOT)."""
import json, os, select, signal, socket, struct, subprocess, sys, tempfile, time, unittest
import urllib.error, urllib.request

SIM, PANEL, CASE, SCREENSHOT = sys.argv[1:5]
FC = {"coil": 1, "discrete": 2, "holding": 3, "input": 4}


def until(check, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return
        time.sleep(0.02)
    raise AssertionError(f"not within {seconds} s: {what}")


class Sim:
    def __init__(self, work):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        self.port, self.control_path = s.getsockname()[1], os.path.join(work, "control")
        s.close()
        self.conf = os.path.join(work, "corvane.conf")
        with open(self.conf, "w") as f:
            f.write(f'IP = "127.0.0.1";\nPort = "{self.port}";\n')

    def start(self):
        env = dict(os.environ, CORVANE_CONFIG=self.conf, CORVANE_SIM_CONTROL=self.control_path)
        self.proc = subprocess.Popen([SIM], env=env, stdout=subprocess.DEVNULL)
        until(lambda: socket.socket().connect_ex(("127.0.0.1", self.port)) == 0, 10, "sim listens")

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        return self.proc.wait(10)

    def control(self, line):
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(5)
            s.connect(self.control_path)
            s.sendall(line.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"ok\n") and b"error" not in answer:
                answer += s.recv(4096) or b"error: closed"
        return answer.decode()

    def read(self, table, address):
        """One Modbus read of one address: the value, or the exception code as a string."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=3) as s:
            s.sendall(struct.pack(">HHHBBHH", 1, 0, 6, 1, FC[table], address, 1))
            reply = s.recv(260)
        if reply[7] & 0x80:
            return str(reply[8])
        return reply[9] if FC[table] <= 2 else struct.unpack(">H", reply[9:11])[0]


class Panel:
    def __init__(self, sim, *args):
        self.proc = subprocess.Popen([PANEL, "--modbus", f"127.0.0.1:{sim.port}", "--listen",
                                      "127.0.0.1:0", *args], stdout=subprocess.PIPE, text=True)
        ready = select.select([self.proc.stdout], [], [], 10)[0]
        self.url = ready and self.proc.stdout.readline().split()[2]
        assert self.url.startswith("http://127.0.0.1:"), self.url

    def call(self, path, body=None, headers={"Content-Type": "application/json"}):
        request = urllib.request.Request(self.url + path, body, headers if body else {})
        try:
            with urllib.request.urlopen(request, timeout=5) as r:
                return r.status, r.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    def board(self):
        return json.loads(self.call("api/board")[1])

    def write(self, table, address, value):
        status, text = self.call("api/write", json.dumps(
            {"table": table, "address": address, "value": value}).encode())
        return status, json.loads(text)

    def channel(self, table, address):
        return next(c for m in self.board()["modules"] for c in m["channels"]
                    if (c["table"], c["address"]) == (table, address))

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        return self.proc.wait(10)


class PanelTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.sim = Sim(self.work.name)
        self.sim.start()
        self.addCleanup(lambda: self.sim.proc.poll() is None and self.sim.stop())

    def panel(self, *args):
        panel = Panel(self.sim, *args)
        self.addCleanup(lambda: panel.proc.poll() is None and panel.stop())
        until(lambda: panel.board()["connected"], 5, "panel connected")
        return panel

    def test_Api(self):
        p = self.panel("--interval", "300")
        # Writes reach the board; the service's refusal comes back with its meaning.
        self.assertEqual(p.write("coil", 48, True), (200, {"ok": True, "table": "coil",
                                                           "address": 48, "value": 1}))
        self.assertEqual(p.write("holding", 38, 250)[1]["ok"], True)
        # AIO3 channel 2 a voltage input, channel 3 a PT1000 input out of its range
        self.assertEqual(p.write("holding", 18, 0x720)[1]["ok"], True)
        show = self.sim.control("show")
        self.assertIn("REL1 pins 1 0 0 0 0 0 0 0\n", show)
        self.assertIn("PWM1 out1 duty 750 ", show)  # the default polarity runs 1000 - duty
        self.assertEqual(p.write("holding", 38, 1001)[1]["exception"], 3)
        # A change on the board shows within a few intervals.
        changed = [("input", 38), ("input", 151), ("discrete", 4)]
        self.assertNotEqual([p.channel(*a)["value"] for a in changed], [58.9, 10000, True])
        for line in ["tmp 1 raw 1 3000", "aio 3 adc 2 65535", "input 4 1"]:
            self.assertTrue(self.sim.control(line).endswith("ok\n"))
        until(lambda: [p.channel(*a)["value"] for a in changed] == [58.9, 10000, True], 2, "new")
        pt1000 = p.channel("input", 96)
        self.assertEqual((pt1000["raw"], pt1000["value"]), (0x8000, None))
        # Every value shown is what a Modbus read of its address returns.
        for m in p.board()["modules"]:
            for c in m["channels"]:
                self.assertEqual(c["raw"], self.sim.read(c["table"], c["address"]), (m["name"], c))
        # Malformed requests: 400 with a reason, and the panel carries on.
        for body in [b"{", b"\xff"] + [json.dumps(dict(table=t, address=a, value=v)).encode() for
                                       t, a, v in [("input", 1, 1), ("coil", 80, 1), ("coil", 0, 2),
                                                   ("holding", 38, 65536), ("holding", 1.5, 5)]]:
            status, text = p.call("api/write", body)
            self.assertEqual((status, "error" in json.loads(text)), (400, True), body)
        self.assertEqual(p.call("api/write", b"{}", {"Content-Type": "text/plain"})[0], 415)
        self.assertEqual(p.call("api/write", json.dumps(dict(table="coil", address=48, value=0))
                                .encode(), {"Content-Type": "application/json",
                                            "Origin": "http://other.example"})[0], 403)
        # The metrics are Prometheus text, with the board's values in them.
        from prometheus_client.parser import text_string_to_metric_families
        samples = {(s.name, tuple(sorted(s.labels.items()))): s.value
                   for f in text_string_to_metric_families(p.call("metrics")[1]) for s in f.samples}
        self.assertEqual(samples[("corvane_up", ())], 1)
        tmp1 = ("address", "38"), ("channel", "1"), ("module", "TMP1"), ("table", "input")
        self.assertEqual(samples[("corvane_temperature_celsius", tmp1)], 58.9)
        self.assertEqual(samples[("corvane_modbus_errors_total", (("code", "3"),))], 1)
        self.assertEqual(p.stop(), 0)

    def test_Restart(self):
        p = self.panel("--read-only")
        self.assertEqual(p.write("coil", 48, True)[0], 403)
        self.assertEqual(self.sim.stop(), 2)
        until(lambda: not p.board()["connected"], 5, "panel reports the service down")
        self.assertIn("corvane_up 0\n", p.call("metrics")[1])
        self.assertEqual(p.call("")[0], 200)
        self.sim.start()
        until(lambda: p.board()["connected"] and len(p.board()["modules"]) == 5, 10, "back")
        self.assertEqual(p.stop(), 0)

    def test_Browser(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
        p = self.panel()
        for table, address, value in [("holding", 18, 0x8672), ("holding", 38, 250)]:
            p.write(table, address, value)  # AIO3: V, PT1000, 4-20 mA and digital in; a duty
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for a in ("headless no-sandbox disable-gpu disable-quic no-first-run disable-sync "
                  "disable-background-networking disable-component-update window-size=1400,820 "
                  f"user-data-dir={self.work.name}/chromium").split():
            options.add_argument("--" + a)
        browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.addCleanup(browser.quit)
        browser.get(p.url)
        text = lambda id: browser.find_element(By.ID, id).text
        until(lambda: browser.find_elements(By.ID, "v-input-38"), 10, "page built")
        shown = [text(i) for i in ["v-input-38", "v-discrete-0", "v-discrete-1", "v-input-95"]]
        self.assertEqual(shown, ["21.0 °C", "high", "low", "21.5 °C"])
        browser.find_element(By.ID, "c-coil-48").click()
        until(lambda: "REL1 pins 1 0 0 0 0 0 0 0" in self.sim.control("show"), 5, "relay 1 on")
        until(lambda: browser.find_element(By.ID, "c-coil-48").is_selected(), 5, "switch on")
        browser.save_screenshot(SCREENSHOT)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "PanelTest.test_" + CASE], verbosity=2)
