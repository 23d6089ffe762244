// The audio thread's contract: what the threads that render sound may and may never do, what
// they read and publish, and which of the engine's calls are safe there. Read by every thread.
#pragma once

// The audio threads are JACK's process thread (jack/process.h), PulseAudio's main loop thread
// while it asks for sound (pulse/), the ALSA and clock outputs' own threads (alsa/, clocks/).
// A function that may run there says "audio thread" beside it, is noexcept, and keeps to this:
//
// Never: take a lock (a mutex, a condition variable, a recursive program lock), allocate or
// free memory, open, read or write files, decode, log or print, throw, or wait for another
// thread. Memory is made ready on a control thread first (Voice::prepare, Mixer's queues,
// StreamRing::allocate) and freed there after the audio thread has let go of it (SlotTable's
// sweep, Process::attachMixer(nullptr)).
//
// Reads: the mixer's command queue (SpscQueue, one control thread at a time posts), the notes
// queue (MpscQueue, any MIDI or network thread posts), the armed cues (one atomic per key),
// the decoded heads (immutable once published) and each stream's ring (StreamRing's protocol).
//
// Publishes, through atomics only: each stream's position and end, each voice's serials and
// peaks, the commands done, and the ring's read floor.
//
// Real-time safe calls, on any thread including the audio threads:
// - Mixer::render (the audio thread itself), Mixer::noteAt (any number of threads at once);
// - MidiDispatcher::post, postStarted and wake (a MIDI input's one producer each);
// - SpscQueue and MpscQueue push and pop, StreamRing's reader and writer sides;
// - setRealtimePriority (base/realtime_thread.h), once per thread.
// Everything else in engine/ is for control threads (it may lock and allocate) unless its
// header says otherwise.
