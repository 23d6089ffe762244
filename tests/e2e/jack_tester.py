#!/usr/bin/python3
"""Plays the running player from a JACK MIDI port and records its JACK outputs, with a sender
and a recorder client. Modes: check (notes start, stop and mix rows; volumes hold); before,
again and after (a server restart: the player's ports, rows 1 and 2 sound again); osc (OSC_PORT:
oscsend plays the rows, oscdump receives the subscribed state, errors and counters, a sender on
127.0.0.2 is refused, a bundle of three starts sounds sample-locked on its time tag's frame).
With TESTER_READY set, the tester names that file once its ports are up and the player must take
them by itself, and again when they come back. Exits 1 on a fault.
"""
import ctypes
import os
import socket
import struct
import subprocess
import sys
import threading
import time

import jack
import numpy as np

NOTE_ON, NOTE_OFF = 0x90, 0x80
# Whoever imports this (the stand-ins, the latency bench): the process callbacks wait for the
# interpreter no longer than a tenth of a millisecond of another thread's Python.
sys.setswitchinterval(1e-4)
PLAYER_PORTS = ["Sonarello:midi_in", "Sonarello:midi_out", "Sonarello:out_1", "Sonarello:out_2"]


class Sender:
    """A JACK client whose MIDI output `port` writes each message sent at its own frame."""

    def __init__(self, name, port):
        self.client = jack.Client(name, no_start_server=True)
        self.out = self.client.midi_outports.register(port)
        self.pending, self.moved = [], {}  # (frame, bytes) in order; frame asked -> written
        self.lock = threading.Lock()

        @self.client.set_process_callback
        def write(frames):
            start = self.client.last_frame_time
            self.out.clear_buffer()
            with self.lock:
                while self.pending and self.pending[0][0] < start + frames:
                    at, data = self.pending.pop(0)
                    self.out.write_midi_event(max(0, at - start), data)
                    if at < start:
                        self.moved[at] = start

    def send(self, status, number, value, at=None):
        """At frame `at`, by default two periods from now; returns the frame."""
        at = self.client.frame_time + self.client.blocksize * 2 if at is None else at
        self.send_all([(at, bytes([status, number, value]))])
        return at

    def send_all(self, events):
        """(frame, bytes) pairs, taken in one go: the process callback never waits on a burst."""
        with self.lock:
            self.pending = sorted(self.pending + events, key=lambda e: e[0])

    def written(self, at):
        """The frame the message asked for `at` went out at: later if this process was held up."""
        with self.lock:
            return self.moved.get(at, at)


class Tester:
    def __init__(self, target="Sonarello"):
        self.target = target
        self.notes = Sender("sonarello-tester-notes", "notes")
        self.sender, self.out = self.notes.client, self.notes.out
        self.recorder = jack.Client("sonarello-tester-ears", no_start_server=True)
        self.synth = self.sender.midi_inports.register("synth")
        self.ins = [self.recorder.inports.register(f"in_{i}") for i in (1, 2)]
        self.blocks = []  # (first frame, left samples)
        self.faults = []
        self.rate = self.recorder.samplerate
        self.period = self.recorder.blocksize
        self.clock = JackClock(self.recorder) if os.environ.get("OSC_PORT") else None

        @self.recorder.set_process_callback
        def listen(frames):
            self.period = frames  # the cycle of the graph it joined (PipeWire's quantum)
            self.blocks.append((self.recorder.last_frame_time, self.ins[0].get_array().copy()))
            if self.clock:
                self.clock.note_cycle(self.recorder.last_frame_time)

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
        """Within a second of the ports' return; two when the player's own came back too."""
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
        return self.notes.send(status, note, velocity, self.now() + self.period * 2 if at is None else at)

    def heard(self, first, last):
        """The samples of frames first..last, from `first` on, up to the end of last's block."""
        parts = [(f, b) for f, b in self.blocks if first < f + len(b) and f < last]
        if not parts:
            return np.zeros(1, dtype=np.float32)
        return np.concatenate([b for _, b in parts])[max(0, first - parts[0][0]):]

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
        names = sorted(p.name for p in self.sender.get_ports("Sonarello"))
        if names != PLAYER_PORTS:
            self.faults.append(f"the player's ports are {names}, not {PLAYER_PORTS}")


def tone(samples, rate, hz):
    """Amplitude of one frequency: the median over 100 ms pieces (a dropped block does not count)."""
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
    burst = [bytes([0xB0, 7, i % 128]) for i in range(298)] + [bytes([NOTE_OFF, 36, 0]), bytes([NOTE_OFF, 38, 0])]
    t.notes.send_all([(at, m) for m in burst])  # one cycle of 300 messages, its Note Offs last
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


def osc_bytes(path, *numbers):
    """An OSC message of int32s, for what oscsend cannot send (a bundle, another source)."""
    def pad(b):
        return b + b"\0" * (4 - len(b) % 4)
    return pad(path.encode()) + pad(("," + "i" * len(numbers)).encode()) + b"".join(
        struct.pack(">i", n) for n in numbers)


def osc_bundle(system_seconds, *messages):
    tag = (int(system_seconds) + 2208988800) << 32 | int((system_seconds % 1) * 2**32)
    return b"#bundle\0" + struct.pack(">Q", tag) + b"".join(
        struct.pack(">i", len(m)) + m for m in messages)


class JackClock:
    """The server's time (us) of each recorded cycle's start, and the frame of a monotonic instant."""

    def __init__(self, client):
        self.lib = ctypes.CDLL("libjack.so.0")
        self.lib.jack_get_time.restype = ctypes.c_uint64
        self.lib.jack_get_cycle_times.argtypes = [ctypes.c_void_p] + [ctypes.c_void_p] * 4
        self.client = int(jack._ffi.cast("uintptr_t", client._ptr))
        self.starts = {}  # frame -> microseconds

    def note_cycle(self, frame):
        frames, now, after = ctypes.c_uint32(), ctypes.c_uint64(), ctypes.c_uint64()
        period = ctypes.c_float()
        if self.lib.jack_get_cycle_times(self.client, ctypes.byref(frames), ctypes.byref(now),
                                         ctypes.byref(after), ctypes.byref(period)) == 0:
            self.starts[frame] = now.value

    def frame_of(self, monotonic_seconds, rate):
        usecs = monotonic_seconds * 1e6 + clock_offset(lambda: self.lib.jack_get_time() / 1e6) * 1e6
        before = [(f, u) for f, u in self.starts.items() if u <= usecs]
        if not before:
            return None
        f, u = max(before)
        return f + round((usecs - u) * rate / 1e6)


def clock_offset(other):
    """`other()` (seconds) less the monotonic clock, from the tightest of 20 readings."""
    best = None
    for _ in range(20):
        before = time.monotonic()
        value = other()
        after = time.monotonic()
        if best is None or after - before < best[0]:
            best = (after - before, value - (before + after) / 2)
    return best[1]


def bundle_at(t, port, ahead, rows):
    """Sends one bundle starting `rows` `ahead` seconds from now; returns the frame of its tag."""
    mono = time.monotonic()
    system = mono + clock_offset(time.time)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(osc_bundle(system + ahead, *[osc_bytes(f"/sonarello/row/{r}/start") for r in rows]),
                 ("127.0.0.1", port))
    time.sleep(ahead + 0.3)
    return t.clock.frame_of(mono + ahead, t.rate)


def first_loud(t, after, threshold=1e-6):
    for start, block in t.blocks:
        loud = np.nonzero(np.abs(block) > threshold)[0]
        loud = loud[start + loud >= after]
        if len(loud):
            return start + int(loud[0])
    return None


def osc(t):
    port = int(os.environ["OSC_PORT"])
    listen = port + 1
    dump = subprocess.Popen(["oscdump", "-L", str(listen)], stdout=subprocess.PIPE, text=True)
    try:
        osc_checks(t, port, listen, dump)
    finally:
        dump.kill()


def osc_checks(t, port, listen, dump):
    time.sleep(0.3)

    def send(path, *args):
        types = "".join("f" if isinstance(a, float) else "i" for a in args)
        subprocess.run(["oscsend", "localhost", str(port), path, types, *map(str, args)], check=True)

    send("/sonarello/subscribe", listen)
    send("/sonarello/row/1/start")
    t.expect("row/1/start plays row 1", 0.8, {440: 0.5})
    send("/sonarello/row/1/volume", 50.0)
    t.expect("row/1/volume 50 halves it", 0.8, {440: 0.25})
    send("/sonarello/row/1/stop")
    t.expect("row/1/stop stops it", 0.6, {440: 0})
    send("/sonarello/row/2/loop", 0)
    send("/sonarello/row/2/start")
    send("/sonarello/row/2/position", 3.2)
    time.sleep(1.0)
    t.expect("position 3.2 s of 4 with loop off: row 2 has ended", 0.6, {660: 0})
    send("/sonarello/row/1/file", 2)
    send("/sonarello/row/1/start", 1)
    send("/sonarello/row/1/start", 0)  # a button's release changes nothing
    t.expect("row/1/file 2 plays E660 on row 1, at its volume", 0.8, {660: 0.25, 440: 0})
    send("/sonarello/row/9/start")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.2", 0))
        s.sendto(osc_bytes("/sonarello/row/3/start"), ("127.0.0.1", port))
    t.expect("a sender on 127.0.0.2 is refused", 0.6, {880: 0})
    send("/sonarello/panic")
    for row in (1, 2, 3):
        send(f"/sonarello/row/{row}/file", 1)
        send(f"/sonarello/row/{row}/volume", 100.0)
    time.sleep(0.5)  # a tick arms the rows' cues for the new file

    # One start by a bundle, as the pattern; then three in one bundle: three times it, sample
    # for sample, from the same frame.
    measured = []
    for rows in ([1], [1, 2, 3]):
        t.blocks.clear()
        t.clock.starts.clear()
        frame = bundle_at(t, port, 0.4, rows)
        onset = first_loud(t, frame - 4800) - 1  # a sine's first sample is 0
        measured.append((onset - frame, t.heard(onset, onset + 4096)[:2000]))
        send("/sonarello/panic")
        time.sleep(0.4)
    (one, pattern), (three, mix) = measured
    apart = float(np.max(np.abs(mix - 3 * pattern)))
    print(f"bundle: one start sounds {one:+d} frames from its tag's frame, three {three:+d}; "
          f"the three differ from three times one by {apart:.1e} at most")
    if apart > 1e-3:
        t.faults.append("the three rows of one bundle did not start on one frame")
    # The tester maps the tag's instant to a frame through its own clock reading of each cycle,
    # which is good to a couple of frames; the three rows' sameness above is exact.
    if abs(one) > 2 or abs(three) > 2:
        t.faults.append("a bundle's starts missed its time tag's frame")
    send("/sonarello/counters", listen)
    time.sleep(0.5)
    dump.terminate()
    heard = dump.communicate(timeout=5)[0]
    for want in ('/sonarello/row/1/state iisfff 1 1 "1 A440', '/sonarello/row/2/state iisfff 0 0',
                 '/sonarello/error ss "/sonarello/row/9/start" "no such row"', '"not_allowed" 1'):
        if want not in heard:
            t.faults.append(f"oscdump did not receive {want}")
    print(f"oscdump received {heard.count(chr(10))} messages")


if __name__ == "__main__":
    tester = Tester()
    tester.connect()
    {"check": check, "before": before_restart, "again": again, "after": after_restart, "osc": osc}[sys.argv[1]](tester)
    tester.sender.deactivate()
    tester.recorder.deactivate()
    if tester.faults:
        sys.exit("faults: " + "; ".join(tester.faults))
    print("all checks passed")
