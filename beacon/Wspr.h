#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace kalimor::beacon {

// WSPR-2: 162 symbols of 4-FSK, 8192/12000 s each, tones 12000/8192 Hz apart.
inline constexpr int WsprSymbols = 162;
inline constexpr double WsprSymbolSeconds = 8192.0 / 12000.0;
inline constexpr double WsprToneSpacingHz = 12000.0 / 8192.0;

using WsprFrame = std::array<std::uint8_t, WsprSymbols>;

// One message with its channel symbols (0..3 each).
struct WsprMessage {
    QString text; // as a decoder prints it: "K1ABC FN42 37"
    WsprFrame symbols{};
};

// The protocol's source encoding, K=32 rate-1/2 convolutional code,
// bit-reversal interleaving and sync vector, for the three message types:
// 1 "CALL GRID4 DBM", 2 "PFX/CALL DBM" or "CALL/SFX DBM", and 3
// "<CALL> GRID6 DBM", whose callsign travels as a 15-bit hash.
// Nothing, with the reason, for what the protocol cannot carry.
std::optional<WsprMessage> encodeType1(const QString& call, const QString& grid4, int dbm,
                                       QString* why);
std::optional<WsprMessage> encodeType2(const QString& compoundCall, int dbm, QString* why);
std::optional<WsprMessage> encodeType3(const QString& call, const QString& grid6, int dbm,
                                       QString* why);

// What a station sends, frame after frame: a plain call with a 4-character
// locator sends type 1; with a 6-character locator, type 1 (its first four)
// and type 3 in turn; a compound call sends type 2, and type 3 in turn when
// it has a 6-character locator.
std::optional<std::vector<WsprMessage>> wsprMessages(const QString& call, const QString& grid,
                                                     int dbm, QString* why);

// The 15-bit hash a type 3 message carries (lookup3's hashlittle, seed 146).
std::uint32_t wsprHash(const QString& call);

} // namespace kalimor::beacon
