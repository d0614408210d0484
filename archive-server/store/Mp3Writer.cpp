#include "Mp3Writer.h"

#include "ArchiveStore.h"

#include <lame/lame.h>

#include <algorithm>
#include <memory>
#include <string>

namespace vqarchive {

namespace {

struct LameCloser {
    void operator()(lame_global_flags* gfp) const { lame_close(gfp); }
};
using LameHandle = std::unique_ptr<lame_global_flags, LameCloser>;

// Samples handed to the encoder at once: keeps the output buffer small and
// the count far from the int the library takes.
constexpr size_t kChunk = 8192;
// The library's own worst case for one call: 1.25 bytes per sample plus
// 7200 bytes, which is also enough for the final flush.
constexpr size_t kOutCapacity = kChunk + kChunk / 4 + 7200;

std::string encoderError(int code) {
    switch (code) {
    case -1:
        return "output buffer too small";
    case -2:
        return "out of memory";
    case -3:
        return "encoder not initialized";
    case -4:
        return "psychoacoustic model failed";
    default:
        return "error " + std::to_string(code);
    }
}

void append(std::vector<uint8_t>& out, const std::vector<unsigned char>& buf, int written) {
    if (written < 0)
        throw StoreError("MP3 encoding failed: " + encoderError(written));
    out.insert(out.end(), buf.begin(), buf.begin() + written);
}

} // namespace

std::vector<uint8_t> mp3File(const std::vector<int16_t>& samples, uint32_t sampleRate, int kbps) {
    // MPEG audio ends at 48 kHz; 0 would mean "any rate" to the library.
    if (sampleRate == 0 || sampleRate > 48000)
        throw StoreError("MP3 has no " + std::to_string(sampleRate) + " Hz mode");
    if (kbps <= 0)
        throw StoreError("MP3 needs a bit rate above 0 kbit/s, not " + std::to_string(kbps));
    LameHandle gfp(lame_init());
    if (!gfp)
        throw StoreError("MP3 encoder could not be created");
    const int rate = static_cast<int>(sampleRate);
    lame_set_num_channels(gfp.get(), 1);
    lame_set_mode(gfp.get(), MONO);
    lame_set_in_samplerate(gfp.get(), rate);
    // Without this the library resamples to a rate of its own choosing.
    lame_set_out_samplerate(gfp.get(), rate);
    lame_set_VBR(gfp.get(), vbr_off);
    lame_set_brate(gfp.get(), kbps);
    lame_set_quality(gfp.get(), 5);
    lame_set_bWriteVbrTag(gfp.get(), 0);
    lame_set_write_id3tag_automatic(gfp.get(), 0);
    if (lame_init_params(gfp.get()) < 0)
        throw StoreError("MP3 encoder refuses " + std::to_string(sampleRate) + " Hz at " +
                         std::to_string(kbps) + " kbit/s");
    // The library falls back to the nearest rate it knows instead of failing;
    // a file at another rate would play at the wrong speed.
    if (lame_get_out_samplerate(gfp.get()) != rate || lame_get_brate(gfp.get()) != kbps)
        throw StoreError("MP3 has no " + std::to_string(sampleRate) + " Hz, " +
                         std::to_string(kbps) + " kbit/s mode");

    std::vector<uint8_t> out;
    // Constant bit rate: the size is known up front, give or take a frame.
    out.reserve(samples.size() * static_cast<size_t>(kbps) * 125 / sampleRate + 8192);
    std::vector<unsigned char> buf(kOutCapacity);
    for (size_t at = 0; at < samples.size(); at += kChunk) {
        const size_t n = std::min(kChunk, samples.size() - at);
        // Mono: the library reads the left channel only.
        append(out, buf,
               lame_encode_buffer(gfp.get(), samples.data() + at, nullptr, static_cast<int>(n),
                                  buf.data(), static_cast<int>(buf.size())));
    }
    append(out, buf, lame_encode_flush(gfp.get(), buf.data(), static_cast<int>(buf.size())));
    return out;
}

} // namespace vqarchive
