#include "WavWriter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace vqarchive {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr size_t kTableSize = 512;

void putU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xFF));
}

void putTag(std::vector<uint8_t>& out, const char* tag) {
    // Byte by byte: GCC 12 at -O3 misreads a ranged insert here as an overflow.
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(tag[i]));
}

// Mixes into a float buffer; clipping happens once at the end.
class Mixer {
public:
    explicit Mixer(size_t samples) : buffer_(samples, 0.0f) {}

    size_t size() const { return buffer_.size(); }
    void add(size_t at, float v) {
        if (at < buffer_.size())
            buffer_[at] += v;
    }

    // A sum of sine tones with a flat envelope (call progress tones).
    void tone(size_t start, size_t length, std::initializer_list<double> freqs, float amp) {
        const size_t fade = kWavSampleRate / 200; // 5 ms, avoids clicks
        for (size_t i = 0; i < length; ++i) {
            double v = 0;
            const double t = static_cast<double>(i) / kWavSampleRate;
            for (double f : freqs)
                v += std::sin(kTwoPi * f * t);
            float env = 1.0f;
            if (i < fade)
                env = static_cast<float>(i) / fade;
            else if (length - i < fade)
                env = static_cast<float>(length - i) / fade;
            add(start + i, amp * env * static_cast<float>(v / static_cast<double>(freqs.size())));
        }
    }

    std::vector<int16_t> samples() const {
        std::vector<int16_t> out(buffer_.size());
        for (size_t i = 0; i < buffer_.size(); ++i) {
            const float v = std::clamp(buffer_[i], -1.0f, 1.0f);
            out[i] = static_cast<int16_t>(std::lround(v * 32000.0f));
        }
        return out;
    }

private:
    std::vector<float> buffer_;
};

struct Speaker {
    double pitch;   // Hz
    double formant; // shifts the vowel formants: larger for smaller voices
};

// One syllable: a glottal-pulse-like wave whose spectrum is shaped by two
// formants, with a pitch glide and a raised-cosine envelope. The wave is
// built into a one-period table so the per-sample cost stays tiny.
void syllable(Mixer& mix, Prng& rng, const Speaker& sp, size_t start, size_t length, float amp) {
    const double f0 = sp.pitch * rng.real(0.85, 1.2);
    const double f1 = rng.real(300, 800) * sp.formant;
    const double f2 = rng.real(900, 2300) * sp.formant;
    std::array<float, kTableSize> table{};
    const int harmonics = std::max(1, static_cast<int>(3400.0 / f0));
    for (int k = 1; k <= harmonics; ++k) {
        const double fk = k * f0;
        const double w = 1.0 / (1.0 + std::pow((fk - f1) / 120.0, 2)) +
                         0.6 / (1.0 + std::pow((fk - f2) / 180.0, 2)) + 0.02 / k;
        for (size_t i = 0; i < kTableSize; ++i)
            table[i] +=
                static_cast<float>(w * std::sin(kTwoPi * k * static_cast<double>(i) / kTableSize));
    }
    float peak = 1e-6f;
    for (float v : table)
        peak = std::max(peak, std::fabs(v));
    const double glide = rng.real(-0.25, 0.15); // falling or rising intonation
    double phase = 0;
    const bool voiced = rng.chance(0.85);
    for (size_t i = 0; i < length; ++i) {
        const double pos = static_cast<double>(i) / static_cast<double>(length);
        const double env = 0.5 - 0.5 * std::cos(kTwoPi * std::min(pos, 1.0));
        float v;
        if (voiced) {
            const double f = f0 * (1.0 + glide * pos);
            phase += f * kTableSize / kWavSampleRate;
            if (phase >= kTableSize)
                phase -= kTableSize;
            const size_t a = static_cast<size_t>(phase) % kTableSize;
            const size_t b = (a + 1) % kTableSize;
            const float frac = static_cast<float>(phase - std::floor(phase));
            v = (table[a] * (1 - frac) + table[b] * frac) / peak;
        } else {
            // Fricatives: plain noise.
            v = static_cast<float>(rng.real(-0.5, 0.5));
        }
        mix.add(start + i, amp * static_cast<float>(env) * v);
    }
}

// Talks from `start` for about `length` samples: words of syllables,
// sentences of words, with pauses. Returns where the speaker stopped.
size_t speak(Mixer& mix, Prng& rng, const Speaker& sp, size_t start, size_t length) {
    const size_t end = std::min(mix.size(), start + length);
    size_t at = start;
    while (at < end) {
        const int words = static_cast<int>(rng.range(3, 12));
        for (int w = 0; w < words && at < end; ++w) {
            const int syllables = static_cast<int>(rng.range(1, 4));
            for (int s = 0; s < syllables && at < end; ++s) {
                const size_t len = static_cast<size_t>(rng.range(90, 260)) * kWavSampleRate / 1000;
                syllable(mix, rng, sp, at, std::min(len, end - at),
                         static_cast<float>(rng.real(0.25, 0.6)));
                at += len + static_cast<size_t>(rng.range(5, 40)) * kWavSampleRate / 1000;
            }
            at += static_cast<size_t>(rng.range(40, 160)) * kWavSampleRate / 1000;
        }
        at += static_cast<size_t>(rng.range(250, 800)) * kWavSampleRate / 1000;
    }
    return at;
}

Speaker randomSpeaker(Prng& rng) {
    if (rng.chance(0.5))
        return {rng.real(95, 140), rng.real(0.95, 1.05)};
    return {rng.real(175, 240), rng.real(1.1, 1.2)};
}

} // namespace

std::vector<int16_t> synthesizeAudio(Prng& rng, AudioKind kind, double seconds) {
    const size_t total = static_cast<size_t>(std::max(0.1, seconds) * kWavSampleRate);
    Mixer mix(total);
    size_t at = 0;
    if (kind == AudioKind::callRecording) {
        // Ringback (440 + 480 Hz, two seconds on, four off), once or twice.
        const int rings = static_cast<int>(rng.range(1, 2));
        for (int r = 0; r < rings && at < total; ++r) {
            mix.tone(at, std::min<size_t>(2 * kWavSampleRate, total - at), {440.0, 480.0}, 0.3f);
            at += 6 * kWavSampleRate;
        }
        at = std::min(at, total / 4);
        const Speaker a = randomSpeaker(rng);
        const Speaker b = randomSpeaker(rng);
        bool first = true;
        while (at < total) {
            const size_t turn = static_cast<size_t>(rng.range(2, 12)) * kWavSampleRate;
            at = speak(mix, rng, first ? a : b, at, turn);
            first = !first;
        }
    } else {
        mix.tone(0, std::min<size_t>(kWavSampleRate / 2, total), {1000.0}, 0.4f);
        at = kWavSampleRate * 7 / 10;
        if (at < total)
            speak(mix, rng, randomSpeaker(rng), at, total - at);
    }
    // Line noise, lightly low-passed so it sounds like hiss, not static.
    float last = 0;
    for (size_t i = 0; i < total; ++i) {
        last = 0.7f * last + 0.3f * static_cast<float>(rng.real(-1.0, 1.0));
        mix.add(i, 0.01f * last);
    }
    return mix.samples();
}

std::vector<uint8_t> wavFile(const std::vector<int16_t>& samples, uint32_t sampleRate) {
    const uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
    std::vector<uint8_t> out;
    out.reserve(44 + dataBytes);
    putTag(out, "RIFF");
    putU32(out, 36 + dataBytes);
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    putU32(out, 16);
    putU16(out, 1); // PCM
    putU16(out, 1); // mono
    putU32(out, sampleRate);
    putU32(out, sampleRate * 2); // bytes per second
    putU16(out, 2);              // block align
    putU16(out, 16);             // bits per sample
    putTag(out, "data");
    putU32(out, dataBytes);
    for (int16_t s : samples)
        putU16(out, static_cast<uint16_t>(s));
    return out;
}

} // namespace vqarchive
