#include "Wspr.h"

#include <QRegularExpression>

namespace kalimor::beacon {

namespace {

// The 162-bit synchronisation vector every frame carries in its low bits.
constexpr std::uint8_t Sync[WsprSymbols] = {
    1, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1, 0, 1, 1, 1, 1,
    0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1,
    0, 1, 0, 0, 0, 1, 1, 0, 1, 0, 0, 0, 0, 1, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 1, 0,
    0, 1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1,
    0, 0, 1, 1, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 1, 0,
    1, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 0, 0};

// 0-9, A-Z, then the blank: the protocol's 37 characters.
int charCode(QChar c) {
    if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) return c.unicode() - '0';
    if (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) return c.unicode() - 'A' + 10;
    return 36;
}

// A callsign of up to six characters whose third is a digit (a blank goes
// in front of a call like K1ABC so that it is), packed in 28 bits.
std::optional<std::uint32_t> packCall(QString call, QString* why) {
    if (call.size() < 3 || !call.at(2).isDigit()) call.prepend(QLatin1Char(' '));
    call = call.leftJustified(6, QLatin1Char(' '));
    static const QRegularExpression shape(QStringLiteral("^[ A-Z0-9][A-Z0-9][0-9][A-Z ]{3}$"));
    if (call.size() != 6 || !shape.match(call).hasMatch()) {
        *why = QStringLiteral("\"%1\" is not a callsign WSPR can carry: up to six letters and "
                              "digits, a digit second or third, letters after it")
                   .arg(call.trimmed());
        return std::nullopt;
    }
    std::uint32_t n = std::uint32_t(charCode(call[0]));
    n = n * 36 + std::uint32_t(charCode(call[1]));
    n = n * 10 + std::uint32_t(charCode(call[2]));
    for (int i = 3; i < 6; ++i) n = n * 27 + std::uint32_t(charCode(call[i]) - 10);
    return n;
}

bool validPower(int dbm, QString* why) {
    const int last = dbm % 10;
    if (dbm >= 0 && dbm <= 60 && (last == 0 || last == 3 || last == 7)) return true;
    *why = QStringLiteral("%1 dBm is not a WSPR power: 0 to 60 dBm, ending in 0, 3 or 7").arg(dbm);
    return false;
}

int parity(std::uint32_t x) {
    return __builtin_parity(x);
}

std::uint8_t reverse8(std::uint8_t b) {
    b = std::uint8_t((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = std::uint8_t((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return std::uint8_t((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

// 28 bits of N and 22 of M, convolutionally coded, interleaved, with sync.
WsprFrame channelSymbols(std::uint32_t n, std::uint32_t m) {
    std::uint8_t bytes[11] = {};
    bytes[0] = std::uint8_t(n >> 20);
    bytes[1] = std::uint8_t(n >> 12);
    bytes[2] = std::uint8_t(n >> 4);
    bytes[3] = std::uint8_t(((n & 0x0F) << 4) | ((m >> 18) & 0x0F));
    bytes[4] = std::uint8_t(m >> 10);
    bytes[5] = std::uint8_t(m >> 2);
    bytes[6] = std::uint8_t((m & 0x03) << 6);
    std::uint8_t coded[WsprSymbols];
    std::uint32_t reg = 0;
    for (int i = 0; i < 81; ++i) { // 50 bits, then 31 zeros that flush the coder
        reg = (reg << 1) | ((bytes[i / 8] >> (7 - i % 8)) & 1);
        coded[2 * i] = std::uint8_t(parity(reg & 0xF2D05351u));
        coded[2 * i + 1] = std::uint8_t(parity(reg & 0xE4613C47u));
    }
    std::uint8_t data[WsprSymbols];
    for (int i = 0, p = 0; i < 256 && p < WsprSymbols; ++i)
        if (const int j = reverse8(std::uint8_t(i)); j < WsprSymbols) data[j] = coded[p++];
    WsprFrame out;
    for (int i = 0; i < WsprSymbols; ++i) out[size_t(i)] = std::uint8_t(Sync[i] + 2 * data[i]);
    return out;
}

std::uint32_t rot(std::uint32_t x, int k) {
    return (x << k) | (x >> (32 - k));
}

} // namespace

std::uint32_t wsprHash(const QString& call) {
    // Bob Jenkins' lookup3 hashlittle, byte by byte, as the decoders use it.
    const QByteArray key = call.toLatin1();
    std::uint32_t length = std::uint32_t(key.size());
    std::uint32_t a, b, c;
    a = b = c = 0xdeadbeefu + length + 146u;
    const auto* k = reinterpret_cast<const std::uint8_t*>(key.constData());
    while (length > 12) {
        a += k[0] + (std::uint32_t(k[1]) << 8) + (std::uint32_t(k[2]) << 16) +
             (std::uint32_t(k[3]) << 24);
        b += k[4] + (std::uint32_t(k[5]) << 8) + (std::uint32_t(k[6]) << 16) +
             (std::uint32_t(k[7]) << 24);
        c += k[8] + (std::uint32_t(k[9]) << 8) + (std::uint32_t(k[10]) << 16) +
             (std::uint32_t(k[11]) << 24);
        a -= c;
        a ^= rot(c, 4);
        c += b;
        b -= a;
        b ^= rot(a, 6);
        a += c;
        c -= b;
        c ^= rot(b, 8);
        b += a;
        a -= c;
        a ^= rot(c, 16);
        c += b;
        b -= a;
        b ^= rot(a, 19);
        a += c;
        c -= b;
        c ^= rot(b, 4);
        b += a;
        length -= 12;
        k += 12;
    }
    switch (length) {
    case 12:
        c += std::uint32_t(k[11]) << 24;
        [[fallthrough]];
    case 11:
        c += std::uint32_t(k[10]) << 16;
        [[fallthrough]];
    case 10:
        c += std::uint32_t(k[9]) << 8;
        [[fallthrough]];
    case 9:
        c += k[8];
        [[fallthrough]];
    case 8:
        b += std::uint32_t(k[7]) << 24;
        [[fallthrough]];
    case 7:
        b += std::uint32_t(k[6]) << 16;
        [[fallthrough]];
    case 6:
        b += std::uint32_t(k[5]) << 8;
        [[fallthrough]];
    case 5:
        b += k[4];
        [[fallthrough]];
    case 4:
        a += std::uint32_t(k[3]) << 24;
        [[fallthrough]];
    case 3:
        a += std::uint32_t(k[2]) << 16;
        [[fallthrough]];
    case 2:
        a += std::uint32_t(k[1]) << 8;
        [[fallthrough]];
    case 1:
        a += k[0];
        break;
    case 0:
        return c & 32767;
    }
    c ^= b;
    c -= rot(b, 14);
    a ^= c;
    a -= rot(c, 11);
    b ^= a;
    b -= rot(a, 25);
    c ^= b;
    c -= rot(b, 16);
    a ^= c;
    a -= rot(c, 4);
    b ^= a;
    b -= rot(a, 14);
    c ^= b;
    c -= rot(b, 24);
    return c & 32767;
}

std::optional<WsprMessage> encodeType1(const QString& call, const QString& grid4, int dbm,
                                       QString* why) {
    const auto n = packCall(call.toUpper(), why);
    if (!n || !validPower(dbm, why)) return std::nullopt;
    static const QRegularExpression locator(QStringLiteral("^[A-R]{2}[0-9]{2}$"));
    const QString g = grid4.toUpper();
    if (!locator.match(g).hasMatch()) {
        *why = QStringLiteral("\"%1\" is not a 4-character locator (FN42)").arg(grid4);
        return std::nullopt;
    }
    const int ng = (179 - 10 * (g[0].unicode() - 'A') - (g[2].unicode() - '0')) * 180 +
                   10 * (g[1].unicode() - 'A') + (g[3].unicode() - '0');
    WsprMessage msg;
    msg.text = QStringLiteral("%1 %2 %3").arg(call.toUpper(), g).arg(dbm);
    msg.symbols = channelSymbols(*n, std::uint32_t(ng * 128 + dbm + 64));
    return msg;
}

std::optional<WsprMessage> encodeType2(const QString& compoundCall, int dbm, QString* why) {
    const QString call = compoundCall.toUpper();
    if (!validPower(dbm, why)) return std::nullopt;
    const qsizetype slash = call.indexOf(QLatin1Char('/'));
    const QString before = call.left(slash), after = call.mid(slash + 1);
    static const QRegularExpression alnum(QStringLiteral("^[A-Z0-9]+$"));
    std::optional<std::uint32_t> n;
    int ng = 0, nadd = 0;
    if (slash < 0 || call.count(QLatin1Char('/')) != 1 || !alnum.match(before).hasMatch() ||
        !alnum.match(after).hasMatch()) {
        *why = QStringLiteral("\"%1\" is not a compound callsign (PJ4/K1ABC, K1ABC/P, K1ABC/12)")
                   .arg(compoundCall);
        return std::nullopt;
    }
    if (after.size() == 1) { // K1ABC/P: one character after the call
        n = packCall(before, why);
        ng = 60000 - 32768 + charCode(after[0]);
        nadd = 1;
    } else if (after.size() == 2 && after[0].isDigit() && after[1].isDigit()) { // K1ABC/12
        n = packCall(before, why);
        ng = 60000 + 26 + after.toInt();
        nadd = 1;
    } else if (before.size() <= 3) { // PJ4/K1ABC: a prefix of up to three characters
        n = packCall(after, why);
        const QString pfx = before.rightJustified(3, QLatin1Char(' '));
        for (QChar c : pfx) ng = 37 * ng + charCode(c);
        if (ng >= 32768) {
            ng -= 32768;
            nadd = 1;
        }
    } else {
        *why = QStringLiteral("\"%1\": a prefix has at most three characters, a suffix one "
                              "character or two digits")
                   .arg(compoundCall);
        return std::nullopt;
    }
    if (!n) return std::nullopt;
    WsprMessage msg;
    msg.text = QStringLiteral("%1 %2").arg(call).arg(dbm);
    msg.symbols = channelSymbols(*n, std::uint32_t(128 * ng + (dbm + 1 + nadd) + 64));
    return msg;
}

std::optional<WsprMessage> encodeType3(const QString& call, const QString& grid6, int dbm,
                                       QString* why) {
    if (!validPower(dbm, why)) return std::nullopt;
    const QString g = grid6.toUpper();
    static const QRegularExpression locator(QStringLiteral("^[A-R]{2}[0-9]{2}[A-X]{2}$"));
    if (!locator.match(g).hasMatch()) {
        *why = QStringLiteral("\"%1\" is not a 6-character locator (FN42AX)").arg(grid6);
        return std::nullopt;
    }
    // The locator travels where a callsign would, turned by one character.
    const auto n = packCall(g.mid(1) + g.left(1), why);
    if (!n) return std::nullopt;
    const std::uint32_t ih = wsprHash(call.toUpper());
    WsprMessage msg;
    msg.text = QStringLiteral("<%1> %2 %3").arg(call.toUpper(), g).arg(dbm);
    msg.symbols = channelSymbols(*n, std::uint32_t(int(128 * ih) - (dbm + 1) + 64));
    return msg;
}

std::optional<std::vector<WsprMessage>> wsprMessages(const QString& call, const QString& grid,
                                                     int dbm, QString* why) {
    std::vector<WsprMessage> out;
    const bool compound = call.contains(QLatin1Char('/'));
    if (grid.size() != 4 && grid.size() != 6 && !(compound && grid.isEmpty())) {
        *why =
            QStringLiteral("\"%1\" is not a locator of 4 or 6 characters (FN42, FN42AX)").arg(grid);
        return std::nullopt;
    }
    auto add = [&](std::optional<WsprMessage> m) {
        if (m) out.push_back(*m);
        return m.has_value();
    };
    if (compound) {
        if (!add(encodeType2(call, dbm, why))) return std::nullopt;
    } else if (!add(encodeType1(call, grid.left(4), dbm, why))) {
        return std::nullopt;
    }
    if (grid.size() == 6 && !add(encodeType3(call, grid, dbm, why))) return std::nullopt;
    if (compound && grid.size() != 6 && !grid.isEmpty()) {
        *why = QStringLiteral("a compound callsign sends its locator as 6 characters (FN42AX)");
        return std::nullopt;
    }
    return out;
}

} // namespace kalimor::beacon
