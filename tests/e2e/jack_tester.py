#!/usr/bin/python3
"""Plays the running player from a JACK MIDI port and records its JACK outputs, with two
clients (a sender and a recorder), as a controller and a mixing desk would.

  jack_tester.py check     notes start, stop and mix rows, volumes hold (exit 1 on a fault)
  jack_tester.py latency N [CLIENT]
                           N notes at random offsets within the period, sent to CLIENT
                           (Sonarello, or a synth such as midisine): note-to-sound latency
                           in frames, min / median / max
  jack_tester.py sequenced SECONDS
                           jack_midiseq plays a note every 50 ms into Sonarello:midi_in and
                           into jack_midisine (the floor) at once; every note of the floor
                           must sound in the player too, and how much later (exit 1 when a
                           note the floor played was lost)
  jack_tester.py before    before a server restart: note 36 starts row 1
  jack_tester.py after     after it: row 1 sounds again, and a new note plays row 2
"""
import random
import sys
import threading
import time

import jack
import numpy as np

NOTE_ON, NOTE_OFF = 0x90, 0x80


class Tester:
    def __init__(self, target="Sonarello"):
        self.target = target
        self.sender = jack.Client("sonarello-tester-notes", no_start_server=True)
        self.recorder = jack.Client("sonarello-tester-ears", no_start_server=True)
        self.out = self.sender.midi_outports.register("notes")
        self.ins = [self.recorder.inports.register(f"in_{i}") for i in (1, 2)]
        self.pending = []  # (frame, bytes), in order
        self.lock = threading.Lock()
        self.blocks = []  # (first frame, left samples)
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
        start = time.monotonic()
        while time.monotonic() - start < wait:
            audio = self.recorder.get_ports(self.target + ":", is_audio=True, is_output=True)
            midi = self.sender.get_ports(self.target + ":", is_midi=True, is_input=True)
            if audio and midi:
                for port, ear in zip(audio, self.ins):
                    self.recorder.connect(port, ear)
                if self.out.name not in [p.name for p in self.sender.get_all_connections(midi[0])]:
                    # the player may have taken the sender as its first MIDI input already
                    self.sender.connect(self.out, midi[0])
                time.sleep(0.3)
                return
            time.sleep(0.05)
        sys.exit("the player's JACK ports did not appear")

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

    def first_sound_after(self, frame, threshold=1e-4):
        for start, block in self.blocks:
            if start + len(block) <= frame:
                continue
            loud = np.nonzero(np.abs(block) > threshold)[0]
            loud = loud[start + loud >= frame]
            if len(loud):
                return start + int(loud[0])
        return None


def tone(samples, rate, hz):
    """Amplitude of one frequency: the median over 100 ms pieces, so that a block the
    server dropped on a loaded machine does not count."""
    size = rate // 10
    pieces = [samples[i:i + size] for i in range(0, len(samples) - size + 1, size)] or [samples]
    t = np.arange(size) / rate
    return float(np.median([2 * abs(np.dot(p, np.exp(-2j * np.pi * hz * t[:len(p)]))) / max(len(p), 1)
                            for p in pieces]))


def check(tester):
    faults = []
    rate = tester.rate

    def listen(seconds):
        start = tester.now()
        time.sleep(seconds)
        return tester.heard(start + rate // 5, tester.now())

    def expect(name, samples, tones):
        for hz, want in tones.items():
            got = tone(samples, rate, hz)
            ok = abs(got - want) <= 0.06 if want > 0 else got < 0.02
            print(f"{name}: {hz} Hz at {got:.3f} (expected {want})")
            if not ok:
                faults.append(name)

    tester.send(NOTE_ON, 36, 100)
    expect("note 36 starts row 1", listen(1.0), {440: 0.5, 660: 0})
    tester.send(NOTE_OFF, 36, 64)
    expect("note off stops it", listen(0.8), {440: 0})
    tester.send(NOTE_ON, 35, 100)
    expect("note 35 changes nothing", listen(0.8), {440: 0, 660: 0})
    tester.send(NOTE_ON | 3, 36, 90)
    tester.send(NOTE_ON, 37, 90)
    expect("two notes mix two rows", listen(1.0), {440: 0.5, 660: 0.5})
    tester.send(NOTE_ON, 36, 0)
    tester.send(NOTE_OFF, 37, 0)
    expect("velocity 0 and note off stop both", listen(0.8), {440: 0, 660: 0})
    tester.send(NOTE_ON, 38, 100)
    expect("row 3 at settings volume 127 sounds at half", listen(1.0), {880: 0.25})
    tester.send(NOTE_OFF, 38, 0)
    time.sleep(0.3)
    if faults:
        sys.exit("faults: " + "; ".join(faults))
    print("all checks passed")


def latency(tester, count):
    random.seed(1)
    results = []
    for _ in range(count):
        start = tester.now() + tester.period * 4
        at = start - start % tester.period + random.randrange(tester.period)
        tester.send(NOTE_ON, 36, 100, at)
        time.sleep(0.25)
        first = tester.first_sound_after(at)
        if first is not None:
            results.append(first - at)
        tester.send(NOTE_OFF, 36, 0)
        time.sleep(0.25)
        tester.blocks.clear()
    if not results:
        sys.exit("no note was heard")
    r = np.array(results)
    print(f"{tester.target}: note-to-sound latency over {len(r)} notes at a {tester.period}-frame period, "
          f"{tester.rate} Hz: min {r.min()} frames, median {int(np.median(r))} frames, max {r.max()} frames")
    if len(r) < count:
        sys.exit(f"{count - len(r)} notes were not heard")


def heard_tones(tester, seconds, tones):
    start = tester.now()
    time.sleep(seconds)
    samples = tester.heard(start + tester.rate // 5, tester.now())
    faults = []
    for hz, want in tones.items():
        got = tone(samples, tester.rate, hz)
        print(f"{hz} Hz at {got:.3f} (expected {want})")
        if abs(got - want) > 0.06:
            faults.append(f"{hz} Hz")
    return faults


def onsets(blocks, channel, threshold=1e-3, quiet=600):
    """Frames where a channel starts to sound after at least `quiet` silent frames, within
    each stretch the recorder took without a gap."""
    found, parts, start, expected = [], [], None, None

    def take():
        if not parts:
            return
        idx = np.nonzero(np.abs(np.concatenate(parts)) > threshold)[0]
        if len(idx) and idx[0] >= quiet:
            found.append(start + int(idx[0]))
        found.extend(start + int(idx[k + 1]) for k in np.nonzero(np.diff(idx) > quiet)[0])

    for frame, arrays in blocks:
        if frame != expected:
            take()
            parts, start = [], frame
        parts.append(arrays[channel])
        expected = frame + len(arrays[channel])
    take()
    return found


def sequenced(tester, seconds):
    """The player against the floor, both played by jack_midiseq in the same cycles."""
    blocks = []

    @tester.recorder.set_process_callback
    def listen(frames):
        blocks.append((tester.recorder.last_frame_time,
                       (tester.ins[0].get_array().copy(), tester.ins[1].get_array().copy())))

    tester.recorder.activate()
    for port, ear in (("Sonarello:out_1", tester.ins[0]), ("midisine:audio_out", tester.ins[1])):
        tester.recorder.connect(port, ear)
    for synth in ("Sonarello:midi_in", "midisine:midi_in"):
        if "seq:out" not in [p.name for p in tester.recorder.get_all_connections(synth)]:
            tester.recorder.connect("seq:out", synth)  # the player may have taken it already
    time.sleep(seconds)
    tester.recorder.deactivate()
    player, floor = onsets(blocks, 0), onsets(blocks, 1)
    lost, delays = 0, []
    for f in floor[1:]:  # the first may have been cut by the start of the recording
        later = [p - f for p in player if -16 <= p - f < 1200]
        if later:
            delays.append(later[0])
        else:
            lost += 1
    d = np.array(delays) if delays else np.zeros(1, dtype=int)
    print(f"Sonarello against jack_midisine, {len(floor)} notes in {seconds} s at a "
          f"{tester.period}-frame period: {lost} lost; player minus floor min {d.min()}, "
          f"median {int(np.median(d))}, max {d.max()} frames")
    if lost or len(floor) < seconds * 15:
        sys.exit(f"{lost} notes lost, {len(floor)} heard from the floor")


PLAYER_PORTS = ["Sonarello:midi_in", "Sonarello:midi_out", "Sonarello:out_1", "Sonarello:out_2"]


def check_port_names(tester):
    """One client, Sonarello, with the same four ports before and after a server restart."""
    names = sorted(p.name for p in tester.sender.get_ports("Sonarello"))
    if names != PLAYER_PORTS:
        sys.exit(f"the player's ports are {names}, not {PLAYER_PORTS}")


def before_restart(tester):
    check_port_names(tester)
    tester.send(NOTE_ON, 36, 100)
    faults = heard_tones(tester, 1.0, {440: 0.5})
    if faults:
        sys.exit("row 1 did not start: " + ", ".join(faults))


def after_restart(tester):
    time.sleep(0.5)  # the ports are back; let a few periods pass through the new connections
    check_port_names(tester)
    faults = heard_tones(tester, 1.0, {440: 0.5})
    tester.send(NOTE_ON, 37, 100)
    faults += heard_tones(tester, 1.0, {440: 0.5, 660: 0.5})
    if faults:
        sys.exit("after the server's return: " + ", ".join(faults))
    print("the player sounds again and takes notes")


def main():
    tester = Tester(sys.argv[3] if sys.argv[1] == "latency" and len(sys.argv) > 3 else "Sonarello")
    if sys.argv[1] == "sequenced":
        sequenced(tester, float(sys.argv[2]))
        return
    tester.connect()
    if sys.argv[1] == "check":
        check(tester)
    elif sys.argv[1] == "before":
        before_restart(tester)
    elif sys.argv[1] == "after":
        after_restart(tester)
    else:
        latency(tester, int(sys.argv[2]) if len(sys.argv) > 2 else 50)
    tester.sender.deactivate()
    tester.recorder.deactivate()


main()
