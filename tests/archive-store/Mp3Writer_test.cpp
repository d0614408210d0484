// MP3 encoding of the synthesized audio: well-formed layer III frames at the
// requested rate, a length that matches the samples, audio that decodes back
// to what went in, the same bytes for the same samples, clear refusals.
#include "Mp3Writer.h"

#include "ArchiveStore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <lame/lame.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <string>

using namespace vqarchive;

namespace {

std::vector<int16_t> sine(double hz, uint32_t rate, double seconds, double amplitude = 10000) {
    std::vector<int16_t> out(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(std::lround(
            amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / rate)));
    return out;
}

struct HipCloser {
    void operator()(hip_global_flags* h) const { hip_decode_exit(h); }
};

// Decodes with the library's own decoder, an independent reader of the frames.
std::vector<int16_t> decode(std::vector<uint8_t> mp3) {
    std::unique_ptr<hip_global_flags, HipCloser> hip(hip_decode_init());
    EXPECT_TRUE(hip);
    std::vector<int16_t> out;
    std::vector<short> left(4608), right(4608);
    for (size_t at = 0; at < mp3.size() && hip; at += 512) {
        size_t len = std::min<size_t>(512, mp3.size() - at);
        unsigned char* in = mp3.data() + at;
        for (;;) {
            const int n = hip_decode1(hip.get(), in, len, left.data(), right.data());
            if (n < 0) {
                ADD_FAILURE() << "decoding failed near byte " << at;
                return out;
            }
            if (n == 0)
                break;
            out.insert(out.end(), left.begin(), left.begin() + n);
            len = 0; // the rest of this piece is buffered in the decoder
        }
    }
    return out;
}

// Power of one frequency (Goertzel), normalized by the length.
double power(const std::vector<int16_t>& s, double hz, uint32_t rate) {
    const double w = 2 * std::numbers::pi * hz / rate;
    double s1 = 0, s2 = 0;
    for (int16_t v : s) {
        const double s0 = v + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double p = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
    return p / static_cast<double>(s.size() * s.size());
}

double rms(const std::vector<int16_t>& s) {
    double e = 0;
    for (int16_t v : s)
        e += static_cast<double>(v) * v;
    return s.empty() ? 0 : std::sqrt(e / static_cast<double>(s.size()));
}

} // namespace

TEST(Mp3Writer, TelephoneAudioBecomesMpeg25LayerThreeFramesAt8kHz) {
    Prng rng(5);
    const auto samples = synthesizeAudio(rng, AudioKind::voiceMail, 7.0);
    const auto bytes = mp3File(samples);
    const auto info = vqtest::parseMp3(bytes);
    ASSERT_EQ(info.error, "");
    EXPECT_EQ(info.layer, 3);
    EXPECT_EQ(info.mpegVersion, 2.5);
    EXPECT_EQ(info.sampleRate, 8000u);
    EXPECT_EQ(info.kbps, static_cast<uint32_t>(kMp3Kbps));
    EXPECT_TRUE(info.mono);
    // The encoder adds its delay and pads the last frame: a few frames more.
    EXPECT_GE(info.frames * info.samplesPerFrame, samples.size());
    EXPECT_LE(info.frames * info.samplesPerFrame, samples.size() + 4 * info.samplesPerFrame);
    EXPECT_NEAR(info.seconds(), 7.0, 0.3);
    // Constant bit rate: the size follows from the length.
    EXPECT_NEAR(static_cast<double>(bytes.size()), info.seconds() * kMp3Kbps * 125, 200.0);
}

TEST(Mp3Writer, FramesCarryTheRateThatWasAsked) {
    struct Case {
        uint32_t rate;
        int kbps;
        double version;
        uint32_t samplesPerFrame;
    };
    for (const Case& c :
         {Case{8000, 16, 2.5, 576}, Case{11025, 24, 2.5, 576}, Case{16000, 32, 2, 576},
          Case{22050, 48, 2, 576}, Case{32000, 64, 1, 1152}, Case{44100, 96, 1, 1152}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz");
        const auto samples = sine(440, c.rate, 2.5);
        const auto info = vqtest::parseMp3(mp3File(samples, c.rate, c.kbps));
        ASSERT_EQ(info.error, "");
        EXPECT_EQ(info.sampleRate, c.rate);
        EXPECT_EQ(info.kbps, static_cast<uint32_t>(c.kbps));
        EXPECT_EQ(info.mpegVersion, c.version);
        EXPECT_EQ(info.samplesPerFrame, c.samplesPerFrame);
        EXPECT_NEAR(info.seconds(), 2.5, 4.0 * c.samplesPerFrame / c.rate);
    }
}

TEST(Mp3Writer, TheAudioDecodesBackToWhatWentIn) {
    const auto samples = sine(600, 8000, 3.0);
    const auto decoded = decode(mp3File(samples));
    ASSERT_GE(decoded.size(), samples.size());
    EXPECT_LE(decoded.size(), samples.size() + 4 * 576);
    // Loudness kept, and the tone is where it was, not somewhere else.
    EXPECT_NEAR(rms(decoded), rms(samples), 0.2 * rms(samples));
    EXPECT_GT(power(decoded, 600, 8000), 100 * power(decoded, 1500, 8000));
    EXPECT_GT(power(decoded, 600, 8000), 100 * power(decoded, 300, 8000));
}

TEST(Mp3Writer, SilenceStaysSilent) {
    const std::vector<int16_t> silence(8000 * 2, 0);
    const auto bytes = mp3File(silence);
    ASSERT_EQ(vqtest::parseMp3(bytes).error, "");
    EXPECT_LT(rms(decode(bytes)), 5.0);
}

TEST(Mp3Writer, TheSameSamplesGiveTheSameBytes) {
    Prng a(21), b(21), c(22);
    const auto sa = synthesizeAudio(a, AudioKind::callRecording, 4.0);
    const auto sb = synthesizeAudio(b, AudioKind::callRecording, 4.0);
    const auto sc = synthesizeAudio(c, AudioKind::callRecording, 4.0);
    EXPECT_EQ(mp3File(sa), mp3File(sb));
    EXPECT_NE(mp3File(sa), mp3File(sc));
}

TEST(Mp3Writer, NoTagsFrameTheAudio) {
    const auto bytes = mp3File(sine(440, 8000, 1.0));
    ASSERT_GE(bytes.size(), 128u);
    // The parser already demands frames from the first byte to the last; no
    // trailing ID3v1 and no Xing/Info frame with encoder details either.
    EXPECT_EQ(vqtest::parseMp3(bytes).error, "");
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.find("ID3"), std::string::npos);
    EXPECT_EQ(text.find("Xing"), std::string::npos);
    EXPECT_EQ(text.find("Info"), std::string::npos);
    EXPECT_NE(text.compare(text.size() - 128, 3, "TAG"), 0);
    // The reader would notice either.
    auto tagged = bytes;
    tagged.insert(tagged.end(), {'T', 'A', 'G'});
    tagged.resize(tagged.size() + 125, 0);
    EXPECT_NE(vqtest::parseMp3(tagged).error, "");
    auto cut = bytes;
    cut.pop_back();
    EXPECT_NE(vqtest::parseMp3(cut).error, "");
}

TEST(Mp3Writer, VeryShortInputStillGivesAPlayableFile) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{575}, size_t{577}}) {
        SCOPED_TRACE(n);
        const auto bytes = mp3File(std::vector<int16_t>(n, 1000));
        const auto info = vqtest::parseMp3(bytes);
        EXPECT_EQ(info.error, "");
        EXPECT_GE(info.frames * info.samplesPerFrame, n);
    }
}

TEST(Mp3WriterErrors, RatesAndBitRatesMpegDoesNotHaveAreRefused) {
    const auto samples = sine(440, 8000, 0.5);
    for (uint32_t rate : {0u, 7000u, 9600u, 96000u, 4000000000u})
        EXPECT_THROW(mp3File(samples, rate), StoreError) << rate;
    for (int kbps : {0, 17, -16, 320})
        EXPECT_THROW(mp3File(samples, 8000, kbps), StoreError) << kbps;
    try {
        mp3File(samples, 7000);
        FAIL() << "7000 Hz accepted";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("7000 Hz"), std::string::npos) << e.what();
    }
}
