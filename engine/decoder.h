// Decodes MP3 (libmpg123) and WAV (libsndfile) files to stereo float frames and measures
// their exact length. Control and streamer threads; never the audio thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace sonarello::sound
{

struct AudioFormat
{
    int sampleRate = 0;      // the file's own rate
    int fileChannels = 0;    // channels in the file; decoded frames are always stereo
    std::int64_t frames = 0; // exact length in frames, encoder delay and padding removed
};

// Decoded samples lie within +-kMaxSample: a corrupt float file's NaN, infinities and 1e30
// become silence or this bound before they reach a voice (6 dB of headroom over full scale
// for hot masters).
constexpr float kMaxSample = 2.0f;

class Decoder
{
  public:
    virtual ~Decoder() = default;
    const AudioFormat& format() const { return format_; }

    // Decodes up to `frames` stereo frames (interleaved left, right) into out, finite and
    // within kMaxSample; returns how many were written, 0 at the end of the file or after a
    // decoding error.
    virtual std::int64_t read(float* out, std::int64_t frames) = 0;

    // Sample-accurate jump; false where the file cannot seek there.
    virtual bool seek(std::int64_t frame) = 0;

  protected:
    AudioFormat format_;
};

// A file kept open from its first decoding on: every later decoder of it opens path(), the
// very same file, even once it was deleted or replaced under its name (an open file outlives
// its name).
class FileHold
{
  public:
    explicit FileHold(const std::string& path);
    ~FileHold();
    FileHold(const FileHold&) = delete;
    FileHold& operator=(const FileHold&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    std::string path() const; // names the open file itself
    // Its size or modification time is no longer what it was when opened: truncated or
    // rewritten in place, so what was decoded from it no longer matches the rest.
    bool changed() const;

  private:
    int fd_ = -1;
    long long size_ = 0;
    long long modifiedNs_ = 0;
};

// A decoder for an .mp3 or .wav file (chosen by its contents, the extension only tried
// first); nullptr when the file cannot be read or holds no decodable audio.
std::unique_ptr<Decoder> openDecoder(const std::string& path);

struct FileMeasure
{
    AudioFormat format;
    std::uint64_t sizeBytes = 0;
    std::uint32_t lengthMs = 0;
};

// The file's format, exact length in milliseconds and size, without decoding its audio
// where the file's headers give the length.
std::optional<FileMeasure> measureFile(const std::string& path);
// The same from a decoder opened on the file.
FileMeasure measureOf(const Decoder& decoder, const std::string& path);

// Milliseconds of `frames` at `rate`, rounded to nearest.
std::uint32_t framesToMs(std::int64_t frames, int rate);

} // namespace sonarello::sound
