#!/usr/bin/python3
"""Plays the running player from a JACK MIDI port and records its JACK outputs, with two
clients (a sender and a recorder), as a controller with a synthesizer beside it and a mixing
desk would. Modes: check (notes start, stop and mix rows in order, volumes hold); before, again
and after (a server restart: the player's ports, rows sounding and new notes playing beside
them). With TESTER_READY set the tester is there first and names that file once its ports are
up; the player must take them as its devices by itself, and again when they come back (within a
second; two after a server restart). Exits 1 on a fault.
"""
import os
import sys
import threading
import time

import jack
import numpy as np

NOTE_ON, NOTE_OFF = 0x90, 0x80
PLAYER_PORTS = ["Sonarello:midi_in", "Sonarello:midi_out", "Sonarello:out_1", "Sonarello:out_2"]


class Tester:
    def __init__(self, target="Sonarello"):
        self.target = target
        self.sender = jack.Client("sonarello-tester-notes", no_start_server=True)
        self.recorder = jack.Client("sonarello-tester-ears", no_start_server=True)
        self.out = self.sender.midi_outports.register("notes")
        self.synth = self.sender.midi_inports.register("synth")
        self.ins = [self.recorder.inports.register(f"in_{i}") for i in (1, 2)]
        self.pending = []  # (frame, bytes), in order
        self.lock = threading.Lock()
        self.blocks = []  # (first frame, left samples)
        self.faults = []
        self.rate = self.recorder.samplerate
        self.period = self.recorder.blocksize

        @self.sender.set_process_callback
        def send(frames):
            start = self.sender.last_frame_time
            self.out.clear_buffer()
            with self.lock:
                while self.pending and self.pending[0][0] < start + frames:
                    at, data = self.pending.pop(0)
                    self.out.write_midi_event(max(0, at - start), data)

        @self.recorder.set_process_callback
        def listen(frames):
            self.period = frames  # the cycle of the graph it joined (PipeWire's quantum)
            self.blocks.append((self.recorder.last_frame_time, self.ins[0].get_array().copy()))

    def connect(self, wait=10.0):
        self.sender.activate()
        self.recorder.activate()
        ready = os.environ.get("TESTER_READY")
        if ready:
            open(ready, "w").close()
        start = time.monotonic()
        while time.monotonic() - start < wait:
            audio = self.recorder.get_ports(self.target + ":", is_audio=True, is_output=True)
            midi = self.sender.get_ports(self.target + ":", is_midi=True, is_input=True)
            if audio and midi:
                for port, ear in zip(audio, self.ins):
                    self.recorder.connect(port, ear)
                if ready:
                    self.expect_player_connects(midi[0], time.monotonic() - start)
                else:
                    self.sender.connect(self.out, midi[0])
                time.sleep(0.3)
                return
            time.sleep(0.05)
        sys.exit("the player's JACK ports did not appear")

    def expect_player_connects(self, midi_in, waited):
        """The player connects the tester's ports, chosen by name, within a second of their
        return, or two when its own ports had to come back too."""
        limit = 1.0 if waited < 0.1 else 2.0
        start = time.monotonic()
        while time.monotonic() - start < 5:
            if self.out.is_connected_to(midi_in) and self.synth.connections:
                took = time.monotonic() - start
                print(f"the player connected the tester's MIDI ports in {took:.2f} s")
                if took > limit:
                    self.faults.append(f"the MIDI ports took {took:.2f} s to come back")
                return
            time.sleep(0.02)
        self.faults.append("the player did not connect the tester's MIDI ports")

    def now(self):
        return self.sender.frame_time

    def send(self, status, note, velocity, at=None):
        at = self.now() + self.period * 2 if at is None else at
        with self.lock:
            self.pending.append((at, bytes([status, note, velocity])))
            self.pending.sort(key=lambda e: e[0])
        return at

    def heard(self, first, last):
        parts = [b for f, b in self.blocks if first <= f < last]
        return np.concatenate(parts) if parts else np.zeros(1, dtype=np.float32)

    def expect(self, name, seconds, tones):
        """Listens for `seconds` (the first 200 ms left out) and checks each tone's amplitude."""
        start = self.now()
        time.sleep(seconds)
        samples = self.heard(start + self.rate // 5, self.now())
        for hz, want in tones.items():
            got = tone(samples, self.rate, hz)
            print(f"{name}: {hz} Hz at {got:.3f} (expected {want})")
            if not (abs(got - want) <= 0.06 if want > 0 else got < 0.02):
                self.faults.append(name)

    def expect_player_ports(self):
        """One client, Sonarello, with the same four ports before and after a server restart."""
        names = sorted(p.name for p in self.sender.get_ports("Sonarello"))
        if names != PLAYER_PORTS:
            self.faults.append(f"the player's ports are {names}, not {PLAYER_PORTS}")


def tone(samples, rate, hz):
    """Amplitude of one frequency: the median over 100 ms pieces, so that a block the
    server dropped on a loaded machine does not count."""
    size = rate // 10
    pieces = [samples[i:i + size] for i in range(0, len(samples) - size + 1, size)] or [samples]
    t = np.arange(size) / rate
    return float(np.median([2 * abs(np.dot(p, np.exp(-2j * np.pi * hz * t[:len(p)]))) / max(len(p), 1)
                            for p in pieces]))


def check(t):
    t.send(NOTE_ON, 36, 100)
    t.expect("note 36 starts row 1", 1.0, {440: 0.5, 660: 0})
    t.send(NOTE_OFF, 36, 64)
    t.expect("note off stops it", 0.8, {440: 0})
    t.send(NOTE_ON, 35, 100)
    t.expect("note 35 changes nothing", 0.8, {440: 0, 660: 0})
    t.send(NOTE_ON | 3, 36, 90)
    t.send(NOTE_ON, 37, 90)
    t.expect("two notes mix two rows", 1.0, {440: 0.5, 660: 0.5})
    t.send(NOTE_ON, 36, 0)
    t.send(NOTE_OFF, 37, 0)
    t.expect("velocity 0 and note off stop both", 0.8, {440: 0, 660: 0})
    at = t.send(NOTE_ON, 37, 100)
    for i in range(1, 20):  # a burst: each row ends as its last note said
        t.send(NOTE_OFF if i % 2 else NOTE_ON, 37, 100, at + i)
    t.expect("a burst ending with note off leaves row 2 off", 0.8, {660: 0})
    t.send(NOTE_ON, 38, 100)
    t.expect("row 3 at settings volume 127 sounds at half", 1.0, {880: 0.25})
    t.send(NOTE_ON, 36, 100)
    time.sleep(0.3)
    at = t.now() + t.period * 2
    for i in range(298):  # one cycle of 300 messages, its Note Offs last
        t.send(0xB0, 7, i % 128, at)
    t.send(NOTE_OFF, 36, 0, at)
    t.send(NOTE_OFF, 38, 0, at)
    t.expect("Note Offs after 298 controllers in one cycle stop both rows", 0.8, {440: 0, 880: 0})


def before_restart(t):
    t.expect_player_ports()
    t.send(NOTE_ON, 36, 100)
    t.expect("note 36 starts row 1", 1.0, {440: 0.5})


def again(t):
    t.expect("row 1 plays on", 0.5, {440: 0.5})
    t.send(NOTE_ON, 37, 100)
    t.expect("note 37 plays row 2 beside it", 1.0, {440: 0.5, 660: 0.5})
    t.send(NOTE_OFF, 37, 0)


def after_restart(t):
    time.sleep(0.5)  # the ports are back; let a few periods pass through the new connections
    t.expect_player_ports()
    t.expect("row 1 sounds again", 1.0, {440: 0.5})
    t.send(NOTE_ON, 37, 100)
    t.expect("note 37 plays row 2 beside it", 1.0, {440: 0.5, 660: 0.5})


if __name__ == "__main__":
    tester = Tester()
    tester.connect()
    {"check": check, "before": before_restart, "again": again, "after": after_restart}[sys.argv[1]](tester)
    tester.sender.deactivate()
    tester.recorder.deactivate()
    if tester.faults:
        sys.exit("faults: " + "; ".join(tester.faults))
    print("all checks passed")
