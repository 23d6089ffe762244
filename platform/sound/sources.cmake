# Sources of the sound engine, relative to platform/.
set(SONARELLO_SOUND_SOURCES
    sound/decoder.cpp
    sound/stream_ring.cpp
    sound/streamer.cpp
    sound/varispeed.cpp
    sound/voice.cpp
    sound/mixer.cpp
    sound/output.cpp
    sound/pulse_output.cpp
    sound/alsa_output.cpp
    sound/audio_engine.cpp
)
