#!/usr/bin/python3
"""Records the first output port of the Sonarello JACK client for a while and prints one
line: how long its ports took to appear, where they are connected, the peak and the
frequency of what was heard. Usage: jack_record.py SECONDS WAIT_SECONDS"""
import sys
import threading
import time

import jack
import numpy as np


def frequency(samples, rate):
    rising = np.where((samples[:-1] < 0) & (samples[1:] >= 0))[0]
    if len(rising) < 2:
        return 0.0
    a, b = samples[rising], samples[rising + 1]
    at = rising + a / (a - b)
    # The median period ignores the odd cycle broken by a missed block on a loaded machine.
    return rate / float(np.median(np.diff(at)))


def main():
    seconds, wait = float(sys.argv[1]), float(sys.argv[2])
    client = jack.Client("sonarello-recorder", no_start_server=True)
    port = client.inports.register("in")
    blocks = []
    recording = threading.Event()

    @client.set_process_callback
    def process(frames):
        if recording.is_set():
            blocks.append(port.get_array().copy())

    rate = client.samplerate
    start = time.monotonic()
    with client:
        ours = []
        while time.monotonic() - start < wait:
            ours = [p.name for p in client.get_ports("Sonarello", is_audio=True, is_output=True)]
            if len(ours) >= 2:
                break
            time.sleep(0.05)
        waited = time.monotonic() - start
        if len(ours) < 2:
            print("ports=none")
            return
        connected = [p.name for p in client.get_all_connections(ours[0])]
        client.connect(ours[0], port.name)
        time.sleep(0.2)
        recording.set()
        time.sleep(seconds)
        recording.clear()
    data = np.concatenate(blocks) if blocks else np.zeros(2, dtype=np.float32)
    print(f"waited={waited:.3f} port={ours[0].replace(' ', '_')} "
          f"connected={','.join(connected) or '-'} rate={rate} "
          f"peak={np.max(np.abs(data)):.4f} freq={frequency(data, rate):.2f}")


main()
