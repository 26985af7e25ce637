#pragma once

#include <QFile>
#include <QString>

#include <cmath>
#include <cstdint>

// A WAV file of one tone, 16-bit mono, written as a recorder writes it.
inline bool writeToneWav(const QString& path, double hz, double seconds, int rate = 12000,
                         double amplitude = 0.5) {
    const auto frames = std::uint32_t(seconds * rate);
    QByteArray out;
    auto u32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out.append(char(v >> (8 * i)));
    };
    auto u16 = [&](std::uint16_t v) {
        out.append(char(v));
        out.append(char(v >> 8));
    };
    out.append("RIFF");
    u32(36 + 2 * frames);
    out.append("WAVEfmt ");
    u32(16);
    u16(1); // PCM
    u16(1);
    u32(std::uint32_t(rate));
    u32(std::uint32_t(rate) * 2);
    u16(2);
    u16(16);
    out.append("data");
    u32(2 * frames);
    for (std::uint32_t n = 0; n < frames; ++n)
        u16(std::uint16_t(
            std::int16_t(std::lround(32767 * amplitude * std::sin(2 * M_PI * hz * n / rate)))));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(out) == out.size();
}
