#include "decoder.h"

#include "base/raii.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mpg123.h>
#include <mutex>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sonarello::sound
{

namespace
{

using Mpg123 = std::unique_ptr<mpg123_handle, Deleter<mpg123_delete>>;
using SndFile = std::unique_ptr<SNDFILE, Deleter<sf_close>>;

constexpr int kStereo = 2;

// File input for libmpg123 through a buffer of our own: its frame scan reads a few bytes at a
// time, which as one system call each would make measuring a folder slow. Called from inside
// libmpg123 only; never throws.
class BufferedReader
{
  public:
    explicit BufferedReader(int fd) : fd_(fd) {}
    ~BufferedReader()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    BufferedReader(const BufferedReader&) = delete;
    BufferedReader& operator=(const BufferedReader&) = delete;

    static mpg123_ssize_t read(void* handle, void* out, std::size_t bytes) noexcept
    {
        auto& r = *static_cast<BufferedReader*>(handle);
        std::size_t done = 0;
        while (done < bytes)
        {
            if (!r.holds(r.position_) && !r.fill())
                return done > 0 ? static_cast<mpg123_ssize_t>(done) : r.lastResult_;
            const auto offset = static_cast<std::size_t>(r.position_ - r.start_);
            const std::size_t n = std::min(bytes - done, r.length_ - offset);
            std::memcpy(static_cast<char*>(out) + done, r.buffer_.data() + offset, n);
            done += n;
            r.position_ += static_cast<off_t>(n);
        }
        return static_cast<mpg123_ssize_t>(done);
    }

    static off_t seek(void* handle, off_t offset, int whence) noexcept
    {
        auto& r = *static_cast<BufferedReader*>(handle);
        struct stat st
        {
        };
        const off_t base = whence == SEEK_SET         ? 0
                           : whence == SEEK_CUR       ? r.position_
                           : ::fstat(r.fd_, &st) == 0 ? st.st_size
                                                      : -1;
        if (base < 0 || base + offset < 0)
            return -1;
        r.position_ = base + offset;
        return r.position_;
    }

  private:
    static constexpr std::size_t kBufferBytes = 64 * 1024;

    bool holds(off_t at) const { return at >= start_ && at < start_ + static_cast<off_t>(length_); }

    // Reads the block at the current position; false at the end of the file or on an error.
    bool fill()
    {
        const ssize_t n = ::pread(fd_, buffer_.data(), buffer_.size(), position_);
        lastResult_ = n < 0 ? -1 : 0;
        start_ = position_;
        length_ = n > 0 ? static_cast<std::size_t>(n) : 0;
        return n > 0;
    }

    int fd_ = -1;
    std::vector<char> buffer_ = std::vector<char>(kBufferBytes);
    off_t start_ = 0;
    std::size_t length_ = 0;
    off_t position_ = 0;
    mpg123_ssize_t lastResult_ = 0;
};

// NaN becomes silence, anything else is held within the bound.
std::int64_t madeFinite(float* samples, std::int64_t frames) noexcept
{
    for (std::int64_t i = 0; i < frames * kStereo; ++i)
        samples[i] =
            std::isnan(samples[i]) ? 0.0f : std::clamp(samples[i], -kMaxSample, kMaxSample);
    return frames;
}

class Mp3Decoder final : public Decoder
{
  public:
    static std::unique_ptr<Decoder> open(const std::string& path);

    std::int64_t read(float* out, std::int64_t frames) override
    {
        const std::int64_t left = format_.frames - position_;
        frames = std::min(frames, left);
        if (frames <= 0 || failed_)
            return 0;
        std::size_t done = 0;
        const std::size_t wanted = static_cast<std::size_t>(frames) * kStereo * sizeof(float);
        auto* bytes = reinterpret_cast<unsigned char*>(out);
        while (done < wanted)
        {
            std::size_t got = 0;
            const int rc = mpg123_read(handle_.get(), bytes + done, wanted - done, &got);
            done += got;
            if (rc == MPG123_NEW_FORMAT || (rc == MPG123_OK && got > 0))
                continue;
            if (rc != MPG123_OK)
                failed_ = rc != MPG123_DONE;
            break;
        }
        const auto framesDone = static_cast<std::int64_t>(done / (kStereo * sizeof(float)));
        position_ += framesDone;
        return madeFinite(out, framesDone);
    }

    bool seek(std::int64_t frame) override
    {
        if (frame < 0 || frame > format_.frames)
            return false;
        const off_t at = mpg123_seek(handle_.get(), static_cast<off_t>(frame), SEEK_SET);
        if (at < 0)
            return false;
        // A damaged file can land the decoder elsewhere: then the jump did not happen.
        position_ = static_cast<std::int64_t>(at);
        failed_ = false;
        return position_ == frame;
    }

  private:
    std::unique_ptr<BufferedReader> reader_; // outlives the handle that reads through it
    Mpg123 handle_;
    std::int64_t position_ = 0;
    bool failed_ = false;
};

void configureMpg123(mpg123_handle* mh)
{
    mpg123_param(mh, MPG123_FLAGS, MPG123_QUIET | MPG123_GAPLESS | MPG123_FORCE_STEREO, 0.0);
    // A growing seek index keeps sample-accurate seeks fast in long files.
    mpg123_param(mh, MPG123_INDEX_SIZE, -1000, 0.0);
    mpg123_format_none(mh);
    const long* rates = nullptr;
    std::size_t count = 0;
    mpg123_rates(&rates, &count);
    for (std::size_t i = 0; i < count; ++i)
        mpg123_format(mh, rates[i], MPG123_STEREO, MPG123_ENC_FLOAT_32);
}

std::unique_ptr<Decoder> Mp3Decoder::open(const std::string& path)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { mpg123_init(); });
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    auto reader = std::make_unique<BufferedReader>(fd);
    int error = 0;
    Mpg123 mh(mpg123_new(nullptr, &error));
    if (!mh)
        return nullptr;
    configureMpg123(mh.get());
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_replace_reader_handle(mh.get(), BufferedReader::read, BufferedReader::seek,
                                     nullptr) != MPG123_OK ||
        mpg123_open_handle(mh.get(), reader.get()) != MPG123_OK ||
        mpg123_getformat(mh.get(), &rate, &channels, &encoding) != MPG123_OK)
        return nullptr;
    // Only a LAME/Info tag makes the length exact (frames, encoder delay and padding);
    // without one, count the samples of every frame.
    long delay = -1;
    double unused = 0;
    if (mpg123_getstate(mh.get(), MPG123_ENC_DELAY, &delay, &unused) != MPG123_OK || delay < 0)
        if (mpg123_scan(mh.get()) != MPG123_OK)
            return nullptr;
    const off_t length = mpg123_length(mh.get());
    mpg123_frameinfo2 info{};
    if (length <= 0 || mpg123_info2(mh.get(), &info) != MPG123_OK)
        return nullptr;
    auto decoder = std::make_unique<Mp3Decoder>();
    decoder->format_ = {static_cast<int>(rate), info.mode == MPG123_M_MONO ? 1 : 2,
                        static_cast<std::int64_t>(length)};
    decoder->reader_ = std::move(reader);
    decoder->handle_ = std::move(mh);
    return decoder;
}

class WavDecoder final : public Decoder
{
  public:
    static std::unique_ptr<Decoder> open(const std::string& path)
    {
        SF_INFO info{};
        SndFile file(sf_open(path.c_str(), SFM_READ, &info));
        if (!file || info.frames <= 0 || info.channels <= 0 || info.samplerate <= 0)
            return nullptr;
        auto decoder = std::make_unique<WavDecoder>();
        decoder->format_ = {info.samplerate, info.channels, static_cast<std::int64_t>(info.frames)};
        decoder->file_ = std::move(file);
        return decoder;
    }

    std::int64_t read(float* out, std::int64_t frames) override
    {
        const int channels = format_.fileChannels;
        if (channels == kStereo)
            return madeFinite(out, sf_readf_float(file_.get(), out, frames));
        scratch_.resize(static_cast<std::size_t>(frames * channels));
        const sf_count_t got = sf_readf_float(file_.get(), scratch_.data(), frames);
        for (sf_count_t i = 0; i < got; ++i)
        {
            const float* in = scratch_.data() + i * channels;
            out[2 * i] = in[0];
            out[2 * i + 1] = channels == 1 ? in[0] : in[1];
        }
        return madeFinite(out, got);
    }

    bool seek(std::int64_t frame) override
    {
        return frame >= 0 && frame <= format_.frames &&
               sf_seek(file_.get(), frame, SEEK_SET) == frame;
    }

  private:
    SndFile file_;
    std::vector<float> scratch_;
};

bool looksLikeRiff(const std::string& path)
{
    std::array<char, 4> magic{};
    std::ifstream in(path, std::ios::binary);
    if (!in.read(magic.data(), magic.size()))
        return false;
    const std::string_view m(magic.data(), magic.size());
    return m == "RIFF" || m == "RIFX" || m == "RF64";
}

} // namespace

std::unique_ptr<Decoder> openDecoder(const std::string& path)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return nullptr;
    return looksLikeRiff(path) ? WavDecoder::open(path) : Mp3Decoder::open(path);
}

namespace
{

bool statOf(int fd, long long& size, long long& modifiedNs)
{
    struct stat st
    {
    };
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return false;
    size = st.st_size;
    modifiedNs = static_cast<long long>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    return true;
}

} // namespace

FileHold::FileHold(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
{
    if (!statOf(fd_, size_, modifiedNs_) && fd_ >= 0)
    {
        ::close(fd_);
        fd_ = -1;
    }
}

FileHold::~FileHold()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::string FileHold::path() const
{
    return "/proc/self/fd/" + std::to_string(fd_);
}

bool FileHold::changed() const
{
    long long size = 0, modifiedNs = 0;
    return !statOf(fd_, size, modifiedNs) || size != size_ || modifiedNs != modifiedNs_;
}

std::uint32_t framesToMs(std::int64_t frames, int rate)
{
    if (rate <= 0 || frames <= 0)
        return 0;
    const double ms = std::nearbyint(static_cast<double>(frames) * 1000.0 / rate);
    return ms >= 4294967295.0 ? UINT32_MAX : static_cast<std::uint32_t>(ms);
}

FileMeasure measureOf(const Decoder& decoder, const std::string& path)
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    FileMeasure m;
    m.format = decoder.format();
    m.sizeBytes = ec ? 0 : size;
    m.lengthMs = framesToMs(m.format.frames, m.format.sampleRate);
    return m;
}

std::optional<FileMeasure> measureFile(const std::string& path)
{
    const auto decoder = openDecoder(path);
    if (!decoder)
        return std::nullopt;
    return measureOf(*decoder, path);
}

} // namespace sonarello::sound
