// Synthesized audio and its WAV container.
#include "WavWriter.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace vqarchive;

TEST(WavWriter, TheHeaderDescribesTheSamples) {
    const std::vector<int16_t> samples = {0, 1, -1, 32767, -32768};
    const auto bytes = wavFile(samples, 8000);
    ASSERT_EQ(bytes.size(), 44u + 10u);
    const auto info = vqtest::parseWav(bytes);
    ASSERT_EQ(info.error, "");
    EXPECT_EQ(info.format, 1);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.sampleRate, 8000u);
    EXPECT_EQ(info.bitsPerSample, 16);
    EXPECT_EQ(info.dataBytes, 10u);
    // Little-endian samples right after the header.
    EXPECT_EQ(bytes[44 + 6], 0xFF);
    EXPECT_EQ(bytes[44 + 7], 0x7F);
    EXPECT_EQ(bytes[44 + 8], 0x00);
    EXPECT_EQ(bytes[44 + 9], 0x80);
}

TEST(WavWriter, SynthesisHasTheRequestedLengthAndIsNotSilent) {
    for (auto kind : {AudioKind::callRecording, AudioKind::voiceMail}) {
        Prng rng(3);
        const auto s = synthesizeAudio(rng, kind, 9.0);
        EXPECT_EQ(s.size(), 9u * kWavSampleRate);
        double energy = 0;
        int16_t peak = 0;
        for (int16_t v : s) {
            energy += static_cast<double>(v) * v;
            peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(v)));
        }
        EXPECT_GT(std::sqrt(energy / static_cast<double>(s.size())), 300.0);
        EXPECT_LT(peak, 32767) << "mixed below clipping";
    }
}

TEST(WavWriter, ACallRecordingStartsWithRingbackAndHasPauses) {
    Prng rng(8);
    const auto s = synthesizeAudio(rng, AudioKind::callRecording, 20.0);
    // Loud during the first ring, nearly silent between rings (2..6 s).
    const auto rms = [&](size_t from, size_t to) {
        double e = 0;
        for (size_t i = from; i < to; ++i)
            e += static_cast<double>(s[i]) * s[i];
        return std::sqrt(e / static_cast<double>(to - from));
    };
    EXPECT_GT(rms(1000, 15000), 2000.0);
    EXPECT_LT(rms(3 * kWavSampleRate, 4 * kWavSampleRate), 1000.0);
}

TEST(WavWriter, TheSameSeedGivesTheSameAudio) {
    Prng a(77), b(77), c(78);
    EXPECT_EQ(synthesizeAudio(a, AudioKind::voiceMail, 3.0),
              synthesizeAudio(b, AudioKind::voiceMail, 3.0));
    EXPECT_NE(synthesizeAudio(a, AudioKind::voiceMail, 3.0),
              synthesizeAudio(c, AudioKind::voiceMail, 3.0));
}
