# Every library comes from Debian's packages (scripts/deps installs them).
find_package(PkgConfig REQUIRED)
pkg_check_modules(MPG123 REQUIRED IMPORTED_TARGET libmpg123)
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
pkg_check_modules(RTMIDI REQUIRED IMPORTED_TARGET rtmidi)
pkg_check_modules(JACK REQUIRED IMPORTED_TARGET jack)
pkg_check_modules(LIBLO REQUIRED IMPORTED_TARGET liblo)
find_package(Threads REQUIRED)
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Test)

find_path(LAME_INCLUDE_DIR lame/lame.h REQUIRED)
find_library(LAME_LIBRARY mp3lame REQUIRED)
add_library(Lame::Lame UNKNOWN IMPORTED)
set_target_properties(Lame::Lame PROPERTIES
    IMPORTED_LOCATION ${LAME_LIBRARY} INTERFACE_INCLUDE_DIRECTORIES ${LAME_INCLUDE_DIR})

find_path(ZITA_RESAMPLER_INCLUDE_DIR zita-resampler/vresampler.h REQUIRED)
find_library(ZITA_RESAMPLER_LIBRARY zita-resampler REQUIRED)
add_library(Zita::Resampler UNKNOWN IMPORTED)
set_target_properties(Zita::Resampler PROPERTIES IMPORTED_LOCATION ${ZITA_RESAMPLER_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${ZITA_RESAMPLER_INCLUDE_DIR})

if(SONARELLO_BUILD_TESTS)
    find_package(GTest REQUIRED)
    include(GoogleTest)
endif()
if(SONARELLO_BUILD_BENCH)
    find_package(benchmark REQUIRED)
    # The varispeed benchmark sets libsamplerate beside our resampler; the player needs it not.
    pkg_check_modules(SAMPLERATE REQUIRED IMPORTED_TARGET samplerate)
endif()
