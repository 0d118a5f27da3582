// Writes demo.zqa: a sound archive of a few short tones synthesised here,
// each a playable RIFF/WAVE file (16-bit PCM, mono, 22050 Hz).
//
//   make_demo_archive OUTPUT
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "archive_builder.h"

namespace {

constexpr std::uint32_t sample_rate = 22050;

void put_le16(std::string& bytes, std::uint16_t value)
{
    bytes.push_back(static_cast<char>(value & 0xFF));
    bytes.push_back(static_cast<char>(value >> 8));
}

// A wav of the given frequencies sounding together, with a short fade at both
// ends so that it starts and stops without a click.
std::string tone(const std::vector<double>& frequencies, double seconds)
{
    auto frames = static_cast<std::uint32_t>(seconds * sample_rate);
    std::string samples;
    for (std::uint32_t i = 0; i < frames; ++i) {
        double t = static_cast<double>(i) / sample_rate;
        double fade = std::min({1.0, t / 0.02, (seconds - t) / 0.05});
        double value = 0;
        for (double frequency : frequencies)
            value += std::sin(2 * std::numbers::pi * frequency * t);
        value *= 0.5 * fade / static_cast<double>(frequencies.size());
        put_le16(samples, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(value * 32767))));
    }
    std::string wav = "RIFF";
    builder::put_le32(wav, 36 + static_cast<std::uint32_t>(samples.size()));
    wav += "WAVEfmt ";
    builder::put_le32(wav, 16);           // format chunk size
    put_le16(wav, 1);                     // PCM
    put_le16(wav, 1);                     // mono
    builder::put_le32(wav, sample_rate);
    builder::put_le32(wav, sample_rate * 2);  // bytes per second
    put_le16(wav, 2);                     // bytes per frame
    put_le16(wav, 16);                    // bits per sample
    wav += "data";
    builder::put_le32(wav, static_cast<std::uint32_t>(samples.size()));
    return wav + samples;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_demo_archive OUTPUT\n");
        return 2;
    }
    std::string archive = builder::pack({
        {"tones/a4_440hz.wav", tone({440.0}, 0.6)},
        {"tones/c5_523hz.wav", tone({523.25}, 0.6)},
        {"tones/e5_659hz.wav", tone({659.25}, 0.6)},
        {"chords/a_minor.wav", tone({440.0, 523.25, 659.25}, 1.2)},
    });
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(archive.data(), static_cast<std::streamsize>(archive.size()));
    if (!out.flush()) {
        std::fprintf(stderr, "make_demo_archive: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
