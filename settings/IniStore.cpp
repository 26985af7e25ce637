#include "IniStore.h"

#include "settings/SafeFile.h"

#include "core/Error.h"
#include "core/Numbers.h"
#include "settings/CSetting.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <vector>

namespace kalimor {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\x1a' || c == '\v' || c == '\f';
}

QByteArray trimmed(QByteArray bytes) {
    qsizetype b = 0, e = bytes.size();
    while (b < e && isBlank(bytes[b])) ++b;
    while (e > b && isBlank(bytes[e - 1])) --e;
    return bytes.mid(b, e - b);
}

// Names and values are UTF-8 where they are valid UTF-8; other bytes are
// taken one character each so that nothing is lost or mangled.
QString decode(const QByteArray& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

bool sameName(const QByteArray& stored, const QString& wanted) {
    return decode(stored).compare(wanted.trimmed(), Qt::CaseInsensitive) == 0;
}

// One line of the file: where it starts, its text without the line end, and
// what it is.
struct Line {
    qsizetype begin = 0; // offset of the first byte
    qsizetype end = 0;   // offset after the text, before "\r\n" or "\n"
    qsizetype next = 0;  // offset of the following line
    enum Kind { Blank, Section, Key, Other } kind = Blank;
    QByteArray name;           // section or key name, trimmed
    qsizetype valueBegin = -1; // key lines: where the value starts
    qsizetype valueEnd = -1;
};

struct Document {
    QByteArray bytes;
    std::vector<Line> lines;
    QByteArray eol = "\n";

    explicit Document(QByteArray data) : bytes(std::move(data)) {
        // Windows editors start a UTF-8 file with a byte-order mark: read
        // past it, and keep it, as every rewrite starts from these bytes.
        qsizetype pos = bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0;
        bool eolSeen = false;
        while (pos < bytes.size()) {
            Line line;
            line.begin = pos;
            qsizetype nl = bytes.indexOf('\n', pos);
            line.next = nl < 0 ? bytes.size() : nl + 1;
            line.end = nl < 0 ? bytes.size() : nl;
            if (!eolSeen && nl >= 0) {
                eol = (nl > pos && bytes[nl - 1] == '\r') ? QByteArray("\r\n") : QByteArray("\n");
                eolSeen = true;
            }
            classify(line);
            lines.push_back(line);
            pos = line.next;
        }
    }

    void classify(Line& line) const {
        qsizetype b = line.begin, e = line.end;
        while (b < e && isBlank(bytes[b])) ++b;
        while (e > b && isBlank(bytes[e - 1])) --e;
        if (b == e) return;
        const QByteArray text = bytes.mid(b, e - b);
        if (text.startsWith('[')) {
            const qsizetype close = text.lastIndexOf(']');
            if (close > 0) {
                line.kind = Line::Section;
                line.name = trimmed(text.mid(1, close - 1));
                return;
            }
        }
        const qsizetype eq = text.indexOf('=');
        if (text.startsWith(';') || text.startsWith('#') || eq <= 0) {
            line.kind = Line::Other; // comments and lines without a key name
            return;
        }
        line.kind = Line::Key;
        line.name = trimmed(text.left(eq));
        line.valueBegin = b + eq + 1;
        while (line.valueBegin < e && isBlank(bytes[line.valueBegin])) ++line.valueBegin;
        line.valueEnd = e;
    }

    // Index of the first section of this name, or -1.
    qsizetype findSection(const QString& name) const {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].kind == Line::Section && sameName(lines[i].name, name))
                return static_cast<qsizetype>(i);
        return -1;
    }
    // One past the last line of the section that starts at `header`.
    qsizetype sectionEnd(qsizetype header) const {
        size_t i = static_cast<size_t>(header) + 1;
        while (i < lines.size() && lines[i].kind != Line::Section) ++i;
        return static_cast<qsizetype>(i);
    }
    qsizetype findKey(qsizetype header, const QString& key) const {
        const qsizetype end = sectionEnd(header);
        for (qsizetype i = header + 1; i < end; ++i) {
            const Line& l = lines[static_cast<size_t>(i)];
            if (l.kind == Line::Key && sameName(l.name, key)) return i;
        }
        return -1;
    }
    QByteArray value(qsizetype index) const {
        const Line& l = lines[static_cast<size_t>(index)];
        QByteArray v = bytes.mid(l.valueBegin, l.valueEnd - l.valueBegin);
        // A value in matching quotes comes back without them.
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.mid(1, v.size() - 2);
        return v;
    }
    qsizetype offsetOfLine(qsizetype index) const {
        return index < static_cast<qsizetype>(lines.size())
                   ? lines[static_cast<size_t>(index)].begin
                   : bytes.size();
    }
};

// The names as the profile functions hand them over: each ended by a NUL,
// cut at the list buffer, then split back into names.
std::optional<QStringList> nameList(const QStringList& names) {
    QString buffer;
    for (const QString& n : names) buffer += n + QChar(0);
    const int room = IniStore::ListBuffer - 2;
    if (buffer.size() > room) {
        buffer.truncate(room);
        buffer += QChar(0);
    }
    if (buffer.size() <= 1) return std::nullopt;
    buffer += QChar(0);
    return buffer.left(buffer.indexOf(QString(2, QChar(0)))).split(QChar(0));
}

Error writeError(const QString& file, const QString& why) {
    return Error(err::FileAccess, QStringLiteral("IniStore"),
                 QStringLiteral("cannot write %1: %2").arg(file, why));
}

void checkName(const QString& what, const QString& name, bool isSection) {
    const bool bad =
        name.contains(QLatin1Char('\n')) || name.contains(QLatin1Char('\r')) ||
        (isSection ? name.contains(QLatin1Char(']')) : name.contains(QLatin1Char('=')));
    if (bad || name.trimmed().isEmpty())
        throw Error(err::InvalidCall, QStringLiteral("IniStore"),
                    QStringLiteral("%1 \"%2\" cannot be written to an INI file").arg(what, name));
}

} // namespace

IniStore::IniStore(QString file) : m_file(std::move(file)) {}

QByteArray IniStore::load() const {
    QFile f(m_file);
    // A missing or unreadable file reads as empty, as the profile functions
    // treat it: every read gives its default.
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

void IniStore::save(const QByteArray& bytes) const {
    QString why;
    const std::optional<QString> target = prepareSave(m_file, &why);
    if (!target) throw Error(err::FileAccess, QStringLiteral("IniStore"), why);
    const QString& file = *target; // the file behind any links
    const QFileInfo info(file);
    if (info.exists() && !info.isWritable())
        throw writeError(file, QStringLiteral("the file is read-only"));
    // Reads of such a file give every default, so a rewrite from them would
    // throw away all it holds.
    if (existsButUnreadable(file))
        throw writeError(file, QStringLiteral("the file cannot be read, so it is not rewritten"));
    bool noRoomBeside = false;
    auto failure = replaceFile(file, bytes, &noRoomBeside);
    // The default place is the program's own folder, which a user may not
    // write although the file is theirs; the profile functions rewrite such a
    // file in place, and so do we.
    if (failure && noRoomBeside && info.exists()) failure = rewriteInPlace(file, bytes);
    if (failure) throw Error(err::FileAccess, QStringLiteral("IniStore"), *failure);
}

QString IniStore::readValue(const QString& section, const QString& key,
                            const QString& defaultValue) {
    const Document doc(load());
    const qsizetype header = doc.findSection(section);
    const qsizetype line = header < 0 ? -1 : doc.findKey(header, key);
    QString value;
    if (line >= 0) {
        value = decode(doc.value(line));
    } else {
        // The profile read strips the default's trailing blanks, not a value's.
        value = defaultValue;
        while (value.endsWith(QLatin1Char(' '))) value.chop(1);
    }
    if (value.size() > ValueBuffer - 1) {
        value.truncate(ValueBuffer - 1);
        if (value.back().isHighSurrogate()) value.chop(1); // never half a character
    }
    // What the profile read hands over is the buffer: the value, then NULs.
    // Trimming it leaves blanks before the first NUL, so a quoted value keeps
    // its trailing blanks.
    return CSetting::TrimAtNull(value + QChar(0));
}

std::int16_t IniStore::readInt(const QString& section, const QString& key,
                               std::int16_t defaultValue) {
    const Document doc(load());
    const qsizetype header = doc.findSection(section);
    const qsizetype line = header < 0 ? -1 : doc.findKey(header, key);
    if (line < 0) return defaultValue;
    const QByteArray text = trimmed(doc.value(line));
    if (text.isEmpty()) return defaultValue;
    // The leading integer: sign and decimal digits, the rest ignored.
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    double value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + (text[i] - '0');
    return toInt16(negative ? -value : value);
}

std::optional<SettingTable>
IniStore::readSection(const QString& section, const std::function<QString(const QString&)>& fetch) {
    const Document doc(load());
    const qsizetype header = doc.findSection(section);
    if (header < 0) return std::nullopt;
    QStringList names;
    for (qsizetype i = header + 1; i < doc.sectionEnd(header); ++i) {
        const Line& l = doc.lines[static_cast<size_t>(i)];
        if (l.kind == Line::Key) names << decode(l.name);
    }
    const auto listed = nameList(names);
    if (!listed) return std::nullopt;
    SettingTable table;
    for (const QString& name : *listed) table.push_back({name, fetch(name)});
    return table;
}

std::optional<QStringList> IniStore::sectionNames() {
    const Document doc(load());
    QStringList names;
    for (const Line& l : doc.lines)
        if (l.kind == Line::Section) names << decode(l.name);
    return nameList(names);
}

void IniStore::writeValue(const QString& section, const QString& key, const QString& value) {
    checkName(QStringLiteral("section"), section, true);
    checkName(QStringLiteral("key"), key, false);
    if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r')))
        throw Error(err::InvalidCall, QStringLiteral("IniStore"),
                    QStringLiteral("a value with a line break cannot be written to an INI file"));
    const QByteArray v = value.toUtf8();
    Document doc(load());
    QByteArray out = doc.bytes;
    const qsizetype header = doc.findSection(section);
    if (header < 0) {
        if (!out.isEmpty() && !out.endsWith('\n')) out += doc.eol;
        out += '[' + section.trimmed().toUtf8() + ']' + doc.eol + key.trimmed().toUtf8() + '=' + v +
               doc.eol;
    } else if (const qsizetype line = doc.findKey(header, key); line >= 0) {
        const Line& l = doc.lines[static_cast<size_t>(line)];
        out.replace(l.valueBegin, l.valueEnd - l.valueBegin, v);
    } else {
        // After the section's last non-blank line, so blank separators stay below it.
        qsizetype last = header;
        for (qsizetype i = header + 1; i < doc.sectionEnd(header); ++i)
            if (doc.lines[static_cast<size_t>(i)].kind != Line::Blank) last = i;
        const Line& l = doc.lines[static_cast<size_t>(last)];
        QByteArray insert = key.trimmed().toUtf8() + '=' + v + doc.eol;
        if (l.next == l.end) insert.prepend(doc.eol); // the file ended without a line end
        out.insert(l.next, insert);
    }
    save(out);
}

void IniStore::remove(const QString& section, const QString& key) {
    Document doc(load());
    const qsizetype header = doc.findSection(section);
    qsizetype from = -1, to = -1;
    if (header >= 0 && key.isEmpty()) {
        from = doc.offsetOfLine(header);
        to = doc.offsetOfLine(doc.sectionEnd(header));
    } else if (header >= 0) {
        const qsizetype line = doc.findKey(header, key);
        if (line >= 0) {
            from = doc.offsetOfLine(line);
            to = doc.lines[static_cast<size_t>(line)].next;
        }
    }
    if (from < 0) return; // nothing of that name: nothing to remove
    QByteArray out = doc.bytes;
    out.remove(from, to - from);
    try {
        save(out);
    } catch (const Error&) {
        throw Error(CSetting::ErrDeleteKey, QStringLiteral("CSetting.DeleteKey"),
                    QStringLiteral("Error Deleting Key (check if file is protected)"));
    }
}

} // namespace kalimor
