// MP3 (MPEG audio layer III) files of synthesized audio, for the share of
// recordings that real archives keep compressed. Encoded with LAME.
#pragma once

#include "WavWriter.h"

#include <cstdint>
#include <vector>

namespace vqarchive {

// Telephone speech at 8 kHz needs no more; it keeps the files small.
constexpr int kMp3Kbps = 16;

// A complete MP3 file of constant bit rate frames around the mono samples,
// with no ID3 or Xing/Info tag: those carry the encoder's version, and the
// same samples must give the same bytes everywhere. Throws StoreError when
// the encoder refuses the rate, the bit rate or the samples.
std::vector<uint8_t> mp3File(const std::vector<int16_t>& samples,
                             uint32_t sampleRate = kWavSampleRate, int kbps = kMp3Kbps);

} // namespace vqarchive
