# Sources of the sound engine, relative to platform/.
set(SONARELLO_SOUND_SOURCES
    sound/decoder.cpp
)
