#!/usr/bin/python3
"""Stand-ins for the built-in pad controllers: two JACK clients per device, one sending its
pads' notes from a port named as Linux names the device's, one recording every message the
player sends back, with its frame. Runs the player with --controller=auto against each.

  controller_standin.py SONARELLO FOLDER     every built-in device in turn (exit 1 on a fault)

FOLDER holds three 4-second tones; rows 1 and 2 do not loop, row 3 does.
"""
import os
import re
import signal
import subprocess
import sys
import time

import jack

from jack_tester import Sender

# name, client, port, its pads of rows 1..64 in reading order, take, release, channel of
# the steady lights, lights (no file, stopped, playing, looping, ending, dark), stop-all,
# fader of row 1
LAUNCHPAD_PADS = [r * 10 + c for r in range(8, 0, -1) for c in range(1, 9)]
APC_PADS = [r * 8 + c for r in range(7, -1, -1) for c in range(8)]
LAUNCHPAD_LIGHTS = [(0x90, 1), (0x90, 0x0D), (0x90, 0x15), (0x90, 0x2D), (0x92, 5), (0x90, 0)]


def launchpad(name, client, port, model, stop_all):
    return dict(name=name, client=client, port=port, pads=LAUNCHPAD_PADS, lights=LAUNCHPAD_LIGHTS,
                take=[0xF0, 0, 0x20, 0x29, 2, model, 0x0E, 1, 0xF7],
                release=[0xF0, 0, 0x20, 0x29, 2, model, 0x0E, 0, 0xF7], stop_all=stop_all, fader=None)


DEVICES = [
    launchpad("launchpad-mini-mk3", "Launchpad Mini MK3", "LPMiniMK3 MIDI", 0x0D, (0xB0, 19)),
    launchpad("launchpad-x", "Launchpad X", "LPX MIDI", 0x0C, (0xB0, 49)),
    dict(name="apc-mini", client="APC MINI", port="APC MINI MIDI 1", pads=APC_PADS, take=None,
         release=None, lights=[(0x90, 0), (0x90, 3), (0x90, 1), (0x90, 5), (0x90, 2), (0x90, 0)],
         stop_all=(0x90, 89), fader=48),
    dict(name="apc-mini-mk2", client="APC mini mk2", port="APC mini mk2 Control", pads=APC_PADS,
         take=None, release=None,
         lights=[(0x96, 1), (0x96, 0x0D), (0x96, 0x15), (0x96, 0x2D), (0x9E, 5), (0x90, 0)],
         stop_all=(0x90, 119), fader=48),
]
NO_FILE, STOPPED, PLAYING, LOOPING, ENDING, DARK = range(6)


class StandIn:
    """The device: `pads` sends, `lights` records (frame, bytes) of everything it gets."""

    def __init__(self, device):
        self.device = device
        self.sender = Sender(device["client"], device["port"])
        self.press = self.sender.send  # (status, number, value, at=None): the frame it goes at
        self.pads, self.out = self.sender.client, self.sender.out
        self.lights = jack.Client(device["client"] + " lights", no_start_server=True)
        self.into = self.lights.midi_inports.register(device["port"] + " in")
        self.got = []
        self.missed = []  # (first frame, frames) of cycles this process was too late to hear
        self.heard_to = None

        @self.lights.set_process_callback
        def listen(frames):
            start = self.lights.last_frame_time
            if self.heard_to is not None and start != self.heard_to:
                self.missed.append((self.heard_to, start - self.heard_to))
            self.heard_to = start + frames
            self.got.extend([(start + offset, bytes(data)) for offset, data in self.into.incoming_midi_events()])

    def connect(self):
        self.lights.activate()
        self.pads.activate()
        self.lights.connect("Sonarello:midi_out", self.into)  # the lights first: none is lost
        self.pads.connect(self.out, "Sonarello:midi_in")

    def close(self):
        for client in (self.pads, self.lights):
            client.deactivate()
            client.close()

    def light(self, row, state):
        status, colour = self.device["lights"][state]
        return bytes([status, self.device["pads"][row - 1], colour])

    def mark(self):
        """Where a check starts: (message number, frame)."""
        return len(self.got), self.lights.frame_time

    def deaf_since(self, frame):
        """Whether this process missed a cycle after `frame`: a message sent may not be here."""
        return any(first + max(frames, 0) >= frame for first, frames in self.missed)

    def wait_for(self, want, start=0, seconds=2.0):
        """The first message equal to `want` after message number `start`: (frame, index)."""
        until = time.monotonic() + seconds
        while time.monotonic() < until:
            for i, (frame, data) in enumerate(self.got[start:]):
                if data == want:
                    return frame, start + i
            time.sleep(0.01)
        return None, None


def last_lights(messages, pads):
    """Each pad's last message."""
    last = {}
    for _, data in messages:
        if len(data) == 3 and data[1] in pads:
            last[data[1]] = data
    return last


class Run:
    def __init__(self, sonarello, folder):
        self.sonarello, self.folder, self.faults = sonarello, folder, []

    def fault(self, device, text):
        self.faults.append(f"{device['name']}: {text}")
        print(f"FAULT {device['name']}: {text}")

    def judge(self, s, ok, since, text):
        """A fault unless `ok`; not judged when the stand-in missed a cycle after frame `since`."""
        if ok:
            return True
        if s.deaf_since(since):
            print(f"{s.device['name']}: not judged ({text}): the stand-in missed a cycle")
        else:
            self.fault(s.device, text)
        return False

    def expect_all_set(self, s, start, since, what):
        """Every pad set: rows 1-3 stopped, rows 4-64 no file."""
        time.sleep(1.2)
        last = last_lights(s.got[start:], s.device["pads"])
        wrong = [row for row in range(1, 65)
                 if last.get(s.device["pads"][row - 1]) != s.light(row, STOPPED if row <= 3 else NO_FILE)]
        if self.judge(s, not wrong, since, f"{what}: the pads of rows {wrong[:5]}... are not set"):
            print(f"{s.device['name']}: {what}: all 64 pads set")
        if s.device["take"]:
            self.judge(s, bytes(s.device["take"]) in [d for _, d in s.got[start:]], since,
                       f"{what}: no programmer-mode message")

    def lights_in_its_cycle(self, s, status, state, undo, undone, tries=3):
        """Row 1's pad sent with `status` lights `state` at its message's own frame. When the cue
        was not yet armed again (a busy machine), or the row's end or a tick came in between, the
        pad is put back (`undo` lighting `undone`) and, once settled, sent again."""
        pad = s.device["pads"][0]
        for attempt in range(tries):
            mark, since = s.mark()
            at = s.press(status, pad, 100 if status == 0x90 else 0)
            frame, _ = s.wait_for(s.light(1, state), mark)
            at = s.sender.written(at)
            print(f"{s.device['name']}: pad {pad} to its light: {None if frame is None else frame - at} frames")
            if frame == at:
                return
            if attempt + 1 < tries:
                mark = len(s.got)
                s.press(undo, pad, 100 if undo == 0x90 else 0)
                s.wait_for(s.light(1, undone), mark)
                time.sleep(0.5)
        self.judge(s, False, since, f"status {status:02X} did not light row 1 in its cycle in {tries} tries")

    def device(self, d):
        player = subprocess.Popen([self.sonarello, "--headless", "--audio=jack:noconnect", "--midi=jack",
                                   "--controller=auto"], cwd=self.folder, stderr=subprocess.PIPE, text=True)
        probe = jack.Client("sonarello-standin-probe", no_start_server=True)
        for _ in range(100):
            if probe.get_ports("Sonarello:midi_in"):
                break
            time.sleep(0.1)
        probe.close()
        s = StandIn(d)
        s.connect()
        self.expect_all_set(s, 0, 0, "taken")
        pads = d["pads"]
        # A pad starts its row and lights in the same cycle, at the press's own frame; its Note
        # Off lights the stopped colour in its cycle.
        mark, since = s.mark()
        self.lights_in_its_cycle(s, 0x90, PLAYING, 0x80, STOPPED)
        self.judge(s, s.wait_for(s.light(1, ENDING), mark, 2.0)[0] is not None, since,
                   "no blink in the last seconds of row 1")
        self.lights_in_its_cycle(s, 0x80, STOPPED, 0x90, PLAYING)
        mark, since = s.mark()
        s.press(0x90, pads[2], 100)
        self.judge(s, s.wait_for(s.light(3, LOOPING), mark)[0] is not None, since, "no looping colour for row 3")
        s.press(0x90, pads[1], 100)
        self.judge(s, s.wait_for(s.light(2, PLAYING), mark)[0] is not None, since, "no playing colour for row 2")
        if d["fader"] is not None:
            s.press(0xB0, d["fader"], 64)
        # Stop-all fades: the stopped lights come once the fade is over, not at once.
        time.sleep(0.3)
        mark, since = s.mark()
        at = s.press(d["stop_all"][0], d["stop_all"][1], 127)
        f2, _ = s.wait_for(s.light(2, STOPPED), mark)
        f3, _ = s.wait_for(s.light(3, STOPPED), mark)
        rate = s.pads.samplerate
        faded = f2 is not None and f3 is not None and min(f2, f3) - at >= 0.2 * rate
        if self.judge(s, faded, since, f"stop-all did not fade rows 2 and 3 ({f2}, {f3}, pressed at {at})"):
            print(f"{d['name']}: stop-all stopped rows 2 and 3 after a {(f2 - at) / rate * 1000:.0f} ms fade")
        # The device leaves and comes back: every pad set again.
        s.close()
        time.sleep(1.5)
        s = StandIn(d)
        s.connect()
        self.expect_all_set(s, 0, 0, "back")
        # The player ends: every pad dark, the device released.
        mark, since = s.mark()
        player.send_signal(signal.SIGTERM)
        _, errors = player.communicate(timeout=20)
        time.sleep(0.3)
        last = last_lights(s.got[mark:], pads)
        self.judge(s, all(last.get(p) == s.light(row + 1, DARK) for row, p in enumerate(pads)), since,
                   "not every pad went dark at exit")
        if d["release"]:
            self.judge(s, bytes(d["release"]) in [m for _, m in s.got[mark:]], since, "no live-mode message at exit")
        if any(f.startswith(d["name"] + ":") for f in self.faults):
            print(f"--- the player's messages:\n{errors}")
        said = [line for line in errors.splitlines() if "controller profile" in line]
        print(f"{d['name']}: the player said: {said}")
        if not said or f"controller profile {d['name']} for" not in said[0]:
            self.fault(d, "the player did not say which profile it took")
        if d["fader"] is not None:
            with open(os.path.join(self.folder, "impostazioni.ini"), encoding="latin-1") as f:
                row1 = f.read().splitlines()[0]
            if not re.search(r"vol= ?129\b", row1):  # 64 of 127 is 50.4 percent
                self.fault(d, f"the fader did not save row 1's volume: {row1}")
        s.close()


if __name__ == "__main__":
    run = Run(os.path.realpath(sys.argv[1]), sys.argv[2])
    for device in DEVICES:
        run.device(device)
    if run.faults:
        sys.exit("faults: " + "; ".join(run.faults))
    print("all stand-ins passed")
