// Synthesized telephone audio as RIFF/WAVE files (8 kHz, 16-bit, mono):
// ring tones, beeps, speech-like syllable bursts of two speakers, line noise.
#pragma once

#include "Prng.h"

#include <cstdint>
#include <vector>

namespace vqarchive {

constexpr uint32_t kWavSampleRate = 8000;

enum class AudioKind {
    callRecording, // ringback, then a conversation of two speakers
    voiceMail,     // greeting beep, then one speaker
};

// PCM samples of the given length.
std::vector<int16_t> synthesizeAudio(Prng& rng, AudioKind kind, double seconds);

// A complete WAV file around the samples.
std::vector<uint8_t> wavFile(const std::vector<int16_t>& samples,
                             uint32_t sampleRate = kWavSampleRate);

} // namespace vqarchive
