#!/usr/bin/python3
"""Note-to-sound latency through JACK, with the sender and recorder of
tests/e2e/jack_tester.py; run by tests/e2e/jack_player.sh for
scripts/latency.

  jack_latency.py latency N
                           N notes at random offsets within the period, sent to the player,
                           then to jack_midisine (the floor, a synth that answers each note
                           at its own frame): note-to-sound latency in frames, min / median
                           / max
  jack_latency.py sequenced SECONDS
                           jack_midiseq plays a note every 50 ms into Sonarello:midi_in and
                           into jack_midisine (the floor) at once; every note of the floor
                           must sound in the player too, and how much later (exit 1 when a
                           note the floor played was lost)
  jack_latency.py pads N   a pad controller's stand-in (72 pads, notes 36 and up, the player
                           started with the profile jack_player.sh writes): N presses at
                           random offsets, press to light and press to sound in frames; then
                           all 72 rows started, playing and blinking to their end, and the
                           lights' messages per second
  jack_latency.py osc N    (OSC_PORT, PLAYER_PID) N /sonarello/row/1/start messages: message to
                           first sound in frames; N bundles of three starts with a time tag:
                           first sound against the tag's frame, and the frames between the
                           rows; then a flood of 100,000 packets a second while row 1 plays,
                           5 s to the player and 5 s to a socket nobody reads, in turns, three
                           times: late periods of each, gaps in its sound, the player's memory,
                           and what its counters say was dropped
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
from jack_tester import NOTE_OFF, NOTE_ON, Tester, first_loud, osc_bundle, osc_bytes  # noqa: E402


def first_sound_after(tester, frame, threshold=1e-4):
    for start, block in tester.blocks:
        if start + len(block) <= frame:
            continue
        loud = np.nonzero(np.abs(block) > threshold)[0]
        loud = loud[start + loud >= frame]
        if len(loud):
            return start + int(loud[0])
    return None


def latency(tester, count):
    random.seed(1)
    results = []
    for _ in range(count):
        start = tester.now() + tester.period * 4
        at = start - start % tester.period + random.randrange(tester.period)
        tester.send(NOTE_ON, 36, 100, at)
        time.sleep(0.25)
        at = tester.notes.written(at)  # the frame it went out at, should the tester have been late
        first = first_sound_after(tester, at)
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


def pads(count):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
    from controller_standin import StandIn

    device = dict(client="bench pads", port="pads", pads=list(range(36, 108)))
    s = StandIn(device)
    ear = s.lights.inports.register("ear")
    blocks = []

    @s.lights.set_process_callback  # the lights as the stand-in records them, and the sound
    def record(frames):
        start = s.lights.last_frame_time
        s.got.extend([(start + o, bytes(d)) for o, d in s.into.incoming_midi_events()])
        blocks.append((start, ear.get_array().copy()))

    s.connect()
    s.lights.connect("Sonarello:out_1", ear)
    time.sleep(1.5)
    random.seed(1)
    lights, sounds = [], []
    for _ in range(count):
        start = s.pads.frame_time + s.period * 4
        at = start - start % s.period + random.randrange(s.period)
        mark = len(s.got)
        s.press(0x90, 36, 100, at)
        time.sleep(0.25)
        lit = [f for f, d in s.got[mark:] if len(d) == 3 and d[1] == 36 and d[0] & 0xF0 == 0x90 and d[2] == 0x15]
        if lit:
            lights.append(lit[0] - at)
        heard = [b0 + int(np.nonzero(np.abs(b) > 1e-4)[0][0]) for b0, b in blocks
                 if b0 + len(b) > at and np.any(np.abs(b) > 1e-4)]
        heard = [h for h in heard if h >= at]
        if heard:
            sounds.append(heard[0] - at)
        s.press(0x80, 36, 0)
        time.sleep(0.25)
        blocks.clear()
    lit, heard = np.array(lights or [-1]), np.array(sounds or [-1])
    print(f"pad to light through JACK over {len(lights)} presses at a {s.period}-frame period: "
          f"min {lit.min()}, median {int(np.median(lit))}, max {lit.max()} frames; pad to sound: "
          f"min {heard.min()}, median {int(np.median(heard))}, max {heard.max()} frames")
    time.sleep(1.0)
    mark, begin = len(s.got), time.monotonic()
    for note in range(36, 108):
        s.press(0x90, note, 100)
    time.sleep(10)
    sent = len(s.got) - mark
    seconds = time.monotonic() - begin
    print(f"72 rows started, playing, blinking and ending: {sent} light messages in {seconds:.1f} s, "
          f"{sent / seconds:.1f} per second (every pad every tick would be 720 per second)")
    s.close()
    if len(lights) < count:
        sys.exit(f"{count - len(lights)} presses were not lit")
def figures(values):
    r = np.array(values)
    return f"min {r.min()}, median {int(np.median(r))}, max {r.max()} frames"


def memory_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS"))


def osc_measured(tester, count):
    """Message to sound, tagged bundles against their frame, and a flood, through OSC."""
    import socket
    port, pid = int(os.environ["OSC_PORT"]), int(os.environ["PLAYER_PID"])
    # No MIDI here: the sender leaves, so that no cycle of the player waits for this process.
    tester.sender.deactivate()
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    target = ("127.0.0.1", port)
    start, stop = osc_bytes("/sonarello/row/1/start"), osc_bytes("/sonarello/panic")
    untagged, tagged, spread = [], [], []
    for row in (1, 2, 3):  # one file at full volume on every row
        sock.sendto(osc_bytes(f"/sonarello/row/{row}/file", 1), target)
        sock.sendto(osc_bytes(f"/sonarello/row/{row}/volume", 100), target)
    time.sleep(0.5)
    for _ in range(count):
        tester.blocks.clear()
        tester.clock.starts.clear()
        time.sleep(0.05 + random.random() * 0.01)
        sent = time.monotonic()
        sock.sendto(start, target)
        time.sleep(0.25)
        frame = tester.clock.frame_of(sent, tester.rate)
        onset = first_loud(tester, frame)
        if onset is not None:
            untagged.append(onset - 1 - frame)
        sock.sendto(stop, target)
        time.sleep(0.2)
    for rows in [[1]] + [[1, 2, 3]] * count:
        tester.blocks.clear()
        tester.clock.starts.clear()
        mono, system = time.monotonic(), time.time()
        ahead = 0.2 + random.random() * 0.01
        sock.sendto(osc_bundle(system + ahead, *[osc_bytes(f"/sonarello/row/{r}/start") for r in rows]),
                    target)
        time.sleep(ahead + 0.25)
        frame = tester.clock.frame_of(mono + ahead, tester.rate)
        onset = first_loud(tester, frame - 4800) - 1
        sound = tester.heard(onset, onset + 4096)[:2000]
        if len(rows) == 1:
            pattern = sound  # every row plays the same file: three on one frame are 3 times one
        else:
            tagged.append(onset - frame)
            # the lag (frames) of the row that strays most, 0 when the sum is exactly 3 times one
            spread.append(0 if np.max(np.abs(sound - 3 * pattern)) < 1e-4 else
                          min(range(1, 64), key=lambda k: np.max(np.abs(
                              sound[64:1900] - 2 * pattern[64:1900] - pattern[64 - k:1900 - k]))))
        sock.sendto(stop, target)
        time.sleep(0.2)
    print(f"OSC message to first sound over {len(untagged)} starts at a {tester.period}-frame period, "
          f"{tester.rate} Hz: {figures(untagged)}")
    print(f"OSC bundle of three starts over {len(tagged)} bundles: first sound against the tag's "
          f"frame {figures(tagged)}; between the rows of one bundle {figures(spread)}")

    sock.sendto(osc_bytes("/sonarello/row/1/loop", 1), target)
    sock.sendto(start, target)
    time.sleep(0.5)
    listen = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listen.bind(("127.0.0.1", 0))
    listen.settimeout(1)

    def counters():  # asked again while a flood's backlog still fills the player's socket
        listen.setblocking(False)
        try:
            while listen.recv(4096):
                pass  # a late answer to an earlier ask
        except BlockingIOError:
            pass
        listen.settimeout(1)
        for _ in range(10):
            sock.sendto(osc_bytes("/sonarello/counters", listen.getsockname()[1]), target)
            try:
                return parse_counters(listen.recv(4096))
            except socket.timeout:
                pass
        sys.exit("the player did not answer /sonarello/counters")

    def player_late(during):
        before = int(counters()["late_periods"])
        result = during()
        return int(counters()["late_periods"]) - before, result

    quiet = player_late(lambda: time.sleep(5))[0]
    # Like with like: the same flood, in turns, to a socket nobody reads (the machine's own cost:
    # the sender, the kernel queueing and dropping) and to the player, which reads and acts on it.
    unread = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    unread.bind(("127.0.0.1", 0))

    def flood(to):
        run = subprocess.run([sys.executable, "-c", FLOOD, str(to), osc_bytes("/sonarello/row/2/volume", 50).hex()],
                             capture_output=True, text=True, timeout=30)
        sent, seconds = map(float, run.stdout.split())
        return sent / seconds

    tester.blocks.clear()
    before = memory_kib(pid)
    elsewhere, read, rates = 0, 0, []
    for _ in range(FLOOD_ROUNDS):
        elsewhere += player_late(lambda: flood(unread.getsockname()[1]))[0]
        lates, rate = player_late(lambda: flood(port))
        read += lates
        rates.append(rate)
    time.sleep(0.5)
    after, last = memory_kib(pid), counters()  # before this process's own work below
    levels = [float(np.max(np.abs(b))) for _, b in tester.blocks]
    gaps = sum(1 for level in levels if level < 0.4)
    frames = [f for f, _ in tester.blocks]
    deaf = sum(1 for a, b in zip(frames, frames[1:]) if b - a != tester.period)
    seconds = 5 * FLOOD_ROUNDS
    print(f"OSC flood of {min(rates):,.0f} packets a second while row 1 plays, {seconds} s to the "
          f"player and {seconds} s to a socket nobody reads, in turns: the player's late periods "
          f"{read} with the flood on its socket, {elsewhere} with it elsewhere, {quiet} in 5 s "
          f"without one; {gaps} quiet blocks in {len(levels)} recorded (the recorder missed {deaf} "
          f"cycles); "
          f"player memory {before} -> {after} KiB; counters: "
          + ", ".join(f"{k} {v}" for k, v in last.items()))
    sock.sendto(stop, target)
    if gaps or read > elsewhere:
        sys.exit("the flood disturbed the sound")


FLOOD_ROUNDS = 3

# 100,000 datagrams a second for 5 s at most, to 127.0.0.1: prints how many and how long.
FLOOD = """
import socket, sys, time
port, packet = int(sys.argv[1]), bytes.fromhex(sys.argv[2])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sent, began = 0, time.monotonic()
while time.monotonic() - began < 5.0 and sent < 500_000:
    for _ in range(1000):
        s.sendto(packet, ("127.0.0.1", port))
    sent += 1000
    ahead = began + sent / 100_000 - time.monotonic()
    if ahead > 0:
        time.sleep(ahead)
print(sent, time.monotonic() - began)
"""


def parse_counters(reply):
    """/sonarello/counters: name (s) and value (h) pairs, by name."""
    end = reply.index(b"\0", reply.index(b","))
    types = reply[reply.index(b",") + 1:end].decode()
    at = (end + 4) & ~3
    parts = []
    for t in types:
        if t == "s":
            stop = reply.index(b"\0", at)
            parts.append(reply[at:stop].decode())
            at = (stop + 4) & ~3
        else:
            parts.append(str(struct.unpack(">q", reply[at:at + 8])[0]))
            at += 8
    return dict(zip(parts[::2], parts[1::2]))


def started(*argv):
    """A JACK example client, quiet, given a second to come up."""
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    return process


def measured(count, target):
    tester = Tester(target)
    tester.connect()
    latency(tester, count)
    tester.sender.deactivate()
    tester.recorder.deactivate()


def main():
    if sys.argv[1] == "pads":
        pads(int(sys.argv[2]) if len(sys.argv) > 2 else 50)
        return
    if sys.argv[1] == "osc":
        tester = Tester()
        tester.connect()
        osc_measured(tester, int(sys.argv[2]) if len(sys.argv) > 2 else 20)
        helpers = []
    elif sys.argv[1] == "sequenced":
        # a note 36 every 2400 frames (50 ms), held 1200 frames, to the player and the floor
        helpers = [started("jack_midiseq", "seq", "2400", "0", "36", "1200"), started("jack_midisine")]
        sequenced(Tester(), float(sys.argv[2]) if len(sys.argv) > 2 else 600)
    else:
        count = int(sys.argv[2]) if len(sys.argv) > 2 else 50
        measured(count, "Sonarello")
        helpers = [started("jack_midisine")] if shutil.which("jack_midisine") else []
        if helpers:
            measured(count, "midisine")
    for helper in helpers:
        helper.kill()


main()
