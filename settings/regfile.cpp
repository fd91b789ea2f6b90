#include "regfile.h"

#include <QStringDecoder>

namespace arbelon {

namespace {

const QLatin1String kHeader5("Windows Registry Editor Version 5.00");
const QLatin1String kHeader4("REGEDIT4");
constexpr int kWrapColumn = 76;

QString lineError(int line, const QString &what)
{
    return QStringLiteral("line %1: %2").arg(line).arg(what);
}

// Decodes the file: UTF-16 with its byte-order mark (what the registry editor exports),
// otherwise UTF-8 with or without a mark. Anything else is not a text file of ours.
std::optional<QString> decodeText(const QByteArray &bytes, QString *error)
{
    QStringDecoder decoder;
    QByteArrayView body(bytes);
    if (bytes.startsWith("\xFF\xFE")) {
        decoder = QStringDecoder(QStringDecoder::Utf16LE);
        body = body.sliced(2);
    } else if (bytes.startsWith("\xFE\xFF")) {
        decoder = QStringDecoder(QStringDecoder::Utf16BE);
        body = body.sliced(2);
    } else {
        decoder = QStringDecoder(QStringDecoder::Utf8);
        if (bytes.startsWith("\xEF\xBB\xBF"))
            body = body.sliced(3);
    }
    QString text = decoder.decode(body);
    // A lone UTF-16 surrogate is no character: it could not be saved back as it was read.
    if (decoder.hasError() || text.contains(QChar(0)) || !text.isValidUtf16()) {
        *error = QStringLiteral("the file is not a text file");
        return std::nullopt;
    }
    return text;
}

QString escapeQuoted(const QString &s)
{
    QString out;
    out.reserve(s.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : s) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            out += QLatin1Char('\\');
        out += c;
    }
    out += QLatin1Char('"');
    return out;
}

// Reads a quoted text starting at pos (which holds the opening quote); pos ends after the
// closing quote. "\\" and "\"" are escapes; a backslash before anything else is kept, as a
// hand-written path such as "c:\games" means.
std::optional<QString> readQuoted(const QString &line, qsizetype &pos)
{
    QString out;
    ++pos;
    while (pos < line.size()) {
        const QChar c = line.at(pos);
        if (c == QLatin1Char('"')) {
            ++pos;
            return out;
        }
        if (c == QLatin1Char('\\') && pos + 1 < line.size()
            && (line.at(pos + 1) == QLatin1Char('\\') || line.at(pos + 1) == QLatin1Char('"'))) {
            out += line.at(pos + 1);
            pos += 2;
            continue;
        }
        out += c;
        ++pos;
    }
    return std::nullopt;
}

std::optional<quint32> parseHexNumber(QStringView s)
{
    if (s.isEmpty() || s.size() > 8)
        return std::nullopt;
    bool ok = false;
    const uint v = s.toUInt(&ok, 16);
    if (!ok)
        return std::nullopt;
    return quint32(v);
}

// "01,02, ff" (a trailing comma is allowed, as the registry editor writes before a break).
std::optional<QByteArray> parseHexBytes(QStringView text)
{
    QByteArray out;
    const QList<QStringView> pieces = text.split(u',');
    out.reserve(pieces.size());
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const QStringView piece = pieces.at(i).trimmed();
        if (piece.isEmpty()) {
            if (i == pieces.size() - 1)
                break; // nothing after the last comma, or no bytes at all
            return std::nullopt;
        }
        if (piece.size() > 2)
            return std::nullopt;
        bool ok = false;
        const uint b = piece.toUInt(&ok, 16);
        if (!ok)
            return std::nullopt;
        out.append(char(b));
    }
    return out;
}

QString hexLines(const QString &prefix, const QByteArray &data)
{
    QString out = prefix;
    qsizetype column = prefix.size();
    for (qsizetype i = 0; i < data.size(); ++i) {
        QString piece = QStringLiteral("%1").arg(uint(quint8(data.at(i))), 2, 16, QLatin1Char('0'));
        if (i + 1 < data.size())
            piece += QLatin1Char(',');
        if (column + piece.size() > kWrapColumn) {
            out += QStringLiteral("\\\n  ");
            column = 2;
        }
        out += piece;
        column += piece.size();
    }
    return out;
}

bool isPlainString(const RegValue &v, QString *text)
{
    if (v.type != RegValue::Sz)
        return false;
    const QString t = v.text();
    if (RegValue::fromString(t).data != v.data)
        return false; // embedded zero or a missing terminator: only the bytes say it all
    for (const QChar c : t) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            return false;
    }
    *text = t;
    return true;
}

} // namespace

// ---- values ----------------------------------------------------------------------------

RegValue RegValue::fromString(const QString &text)
{
    RegValue v;
    v.type = Sz;
    v.data.reserve((text.size() + 1) * 2);
    for (const QChar c : text) {
        v.data.append(char(c.unicode() & 0xFF));
        v.data.append(char(c.unicode() >> 8));
    }
    v.data.append('\0');
    v.data.append('\0');
    return v;
}

RegValue RegValue::fromDword(quint32 value)
{
    RegValue v;
    v.type = Dword;
    for (int i = 0; i < 4; ++i)
        v.data.append(char((value >> (8 * i)) & 0xFF));
    return v;
}

QString RegValue::text() const
{
    QString out;
    for (qsizetype i = 0; i + 1 < data.size(); i += 2) {
        const char16_t c = char16_t(quint8(data.at(i)) | (quint8(data.at(i + 1)) << 8));
        if (c == 0)
            break;
        out += QChar(c);
    }
    return out;
}

quint32 RegValue::dword() const
{
    quint32 v = 0;
    for (qsizetype i = 0; i < data.size() && i < 4; ++i)
        v |= quint32(quint8(data.at(i))) << (8 * i);
    return v;
}

// ---- the file ----------------------------------------------------------------------------

std::optional<RegFile> RegFile::parse(const QByteArray &bytes, QString *error)
{
    QString err;
    if (!error)
        error = &err;
    if (bytes.size() > kMaxFileSize) {
        *error = QStringLiteral("the file is larger than %1 bytes").arg(kMaxFileSize);
        return std::nullopt;
    }
    const std::optional<QString> text = decodeText(bytes, error);
    if (!text)
        return std::nullopt;

    // Views into the text: a line becomes a string of its own only when it is more than a
    // blank or a comment.
    QList<QStringView> lines = QStringView(*text).split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast(); // the end of the last line, not a line of its own
    RegFile file;
    bool headerSeen = false;
    Key *current = nullptr;
    bool skipping = false; // inside a "[-key]" deletion section
    qsizetype keyLines = 0;
    qsizetype valueLines = 0;

    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int lineNo = int(i + 1);
        const QStringView view = lines.at(i).trimmed();
        if (view.isEmpty() || view.startsWith(u';'))
            continue;
        const QString line = view.toString();
        if (!headerSeen) {
            if (line != kHeader5 && line != kHeader4) {
                *error = lineError(lineNo, QStringLiteral("the file does not begin with \"%1\"").arg(kHeader5));
                return std::nullopt;
            }
            headerSeen = true;
            continue;
        }
        if (line.startsWith(QLatin1Char('['))) {
            const qsizetype close = line.lastIndexOf(QLatin1Char(']'));
            if (close < 0 || line.mid(close + 1).trimmed().size() > 0) {
                *error = lineError(lineNo, QStringLiteral("a key name must be enclosed in [ ]"));
                return std::nullopt;
            }
            QString path = line.mid(1, close - 1).trimmed();
            skipping = path.startsWith(QLatin1Char('-'));
            // Blanks left before a dropped final backslash go too: the key is written
            // without them, so it reads back the same.
            while (path.endsWith(QLatin1Char('\\')))
                path = path.chopped(1).trimmed();
            if (path.isEmpty()) {
                *error = lineError(lineNo, QStringLiteral("empty key name"));
                return std::nullopt;
            }
            current = nullptr;
            if (++keyLines > kMaxKeys) {
                *error = lineError(lineNo, QStringLiteral("more than %1 keys, the most a settings file may hold").arg(kMaxKeys));
                return std::nullopt;
            }
            if (!skipping) {
                file.createKey(path);
                current = file.findKey(path);
            }
            continue;
        }

        // A value: "name"=data or @=data.
        qsizetype pos = 0;
        QString name;
        if (line.startsWith(QLatin1Char('@'))) {
            pos = 1;
        } else if (line.startsWith(QLatin1Char('"'))) {
            const std::optional<QString> n = readQuoted(line, pos);
            if (!n) {
                *error = lineError(lineNo, QStringLiteral("unterminated value name"));
                return std::nullopt;
            }
            name = *n;
        } else {
            *error = lineError(lineNo, QStringLiteral("cannot read \"%1\"").arg(line.left(40)));
            return std::nullopt;
        }
        while (pos < line.size() && line.at(pos).isSpace())
            ++pos;
        if (pos >= line.size() || line.at(pos) != QLatin1Char('=')) {
            *error = lineError(lineNo, QStringLiteral("\"=\" expected after the value name"));
            return std::nullopt;
        }
        ++pos;
        while (pos < line.size() && line.at(pos).isSpace())
            ++pos;
        if (!current && !skipping) {
            *error = lineError(lineNo, QStringLiteral("a value before any key"));
            return std::nullopt;
        }

        const QString rest = line.mid(pos);
        std::optional<RegValue> v;
        bool remove = false;
        if (rest.startsWith(QLatin1Char('"'))) {
            qsizetype p = 0;
            const std::optional<QString> s = readQuoted(rest, p);
            if (!s) {
                *error = lineError(lineNo, QStringLiteral("unterminated text"));
                return std::nullopt;
            }
            if (!rest.mid(p).trimmed().isEmpty()) {
                *error = lineError(lineNo, QStringLiteral("unexpected characters after the text"));
                return std::nullopt;
            }
            v = RegValue::fromString(*s);
        } else if (rest == QLatin1String("-")) {
            remove = true;
        } else if (rest.startsWith(QLatin1String("dword:"), Qt::CaseInsensitive)) {
            const std::optional<quint32> n = parseHexNumber(QStringView(rest).sliced(6).trimmed());
            if (!n) {
                *error = lineError(lineNo, QStringLiteral("a dword needs 1 to 8 hexadecimal digits"));
                return std::nullopt;
            }
            v = RegValue::fromDword(*n);
        } else if (rest.startsWith(QLatin1String("hex"), Qt::CaseInsensitive)) {
            quint32 type = RegValue::Binary;
            qsizetype p = 3;
            if (p < rest.size() && rest.at(p) == QLatin1Char('(')) {
                const qsizetype close = rest.indexOf(QLatin1Char(')'), p);
                const std::optional<quint32> t =
                    close < 0 ? std::nullopt : parseHexNumber(QStringView(rest).sliced(p + 1, close - p - 1));
                if (!t) {
                    *error = lineError(lineNo, QStringLiteral("bad type in hex(...)"));
                    return std::nullopt;
                }
                type = *t;
                p = close + 1;
            }
            if (p >= rest.size() || rest.at(p) != QLatin1Char(':')) {
                *error = lineError(lineNo, QStringLiteral("\":\" expected after hex"));
                return std::nullopt;
            }
            // Long data goes on over lines that end with a backslash.
            QString bytesText = rest.mid(p + 1).trimmed();
            while (bytesText.endsWith(QLatin1Char('\\'))) {
                bytesText.chop(1);
                if (++i >= lines.size()) {
                    *error = lineError(lineNo, QStringLiteral("the data goes on past the end of the file"));
                    return std::nullopt;
                }
                bytesText += lines.at(i).trimmed();
                // Two digits, a comma and a blank a byte at the very most.
                if (bytesText.size() > 4 * kMaxHexBytes) {
                    *error = lineError(lineNo, QStringLiteral("the data of \"%1\" is longer than %2 bytes").arg(name).arg(kMaxHexBytes));
                    return std::nullopt;
                }
            }
            const std::optional<QByteArray> data = parseHexBytes(bytesText);
            if (data && data->size() > kMaxHexBytes) {
                *error = lineError(lineNo, QStringLiteral("the data of \"%1\" is longer than %2 bytes").arg(name).arg(kMaxHexBytes));
                return std::nullopt;
            }
            if (!data) {
                *error = lineError(lineNo, QStringLiteral("bad hexadecimal data"));
                return std::nullopt;
            }
            v = RegValue{type, *data};
        } else {
            *error = lineError(lineNo, QStringLiteral("cannot read the data of \"%1\"").arg(name));
            return std::nullopt;
        }
        // Every value line counts, repeated and removed ones too: they cost the same to read.
        if (++valueLines > kMaxValues) {
            *error = lineError(lineNo, QStringLiteral("more than %1 values, the most a settings file may hold").arg(kMaxValues));
            return std::nullopt;
        }
        if (skipping)
            continue;
        if (remove)
            file.removeValue(current->path, name);
        else
            file.setValue(current->path, name, *v);
    }
    if (!headerSeen) {
        *error = QStringLiteral("the file does not begin with \"%1\"").arg(kHeader5);
        return std::nullopt;
    }
    return file;
}

QByteArray RegFile::serialize() const
{
    QString out = kHeader5 + QStringLiteral("\n\n");
    for (const Key &k : m_keys) {
        out += QLatin1Char('[') + k.path + QStringLiteral("]\n");
        for (const NamedValue &nv : k.values) {
            if (nv.removed)
                continue;
            const QString name = nv.name.isEmpty() ? QStringLiteral("@") : escapeQuoted(nv.name);
            const RegValue &v = nv.value;
            QString text;
            if (isPlainString(v, &text)) {
                out += name + QLatin1Char('=') + escapeQuoted(text);
            } else if (v.type == RegValue::Dword && v.data.size() == 4) {
                out += name + QStringLiteral("=dword:%1").arg(v.dword(), 8, 16, QLatin1Char('0'));
            } else if (v.type == RegValue::Binary) {
                out += hexLines(name + QStringLiteral("=hex:"), v.data);
            } else {
                out += hexLines(name + QStringLiteral("=hex(%1):").arg(v.type, 0, 16), v.data);
            }
            out += QLatin1Char('\n');
        }
        out += QLatin1Char('\n');
    }
    return out.toUtf8();
}

RegFile::Key *RegFile::findKey(const QString &key)
{
    const auto it = m_keyIndex.constFind(key.toCaseFolded());
    return it == m_keyIndex.cend() ? nullptr : &m_keys[*it];
}

const RegFile::Key *RegFile::findKey(const QString &key) const
{
    return const_cast<RegFile *>(this)->findKey(key);
}

bool RegFile::hasKey(const QString &key) const
{
    return findKey(key) != nullptr;
}

void RegFile::createKey(const QString &key)
{
    if (findKey(key))
        return;
    m_keyIndex.insert(key.toCaseFolded(), m_keys.size());
    m_keys.append(Key{key, {}, {}});
}

std::optional<RegValue> RegFile::value(const QString &key, const QString &name) const
{
    const Key *k = findKey(key);
    if (!k)
        return std::nullopt;
    const auto it = k->index.constFind(name.toCaseFolded());
    if (it == k->index.cend())
        return std::nullopt;
    return k->values.at(*it).value;
}

void RegFile::setValue(const QString &key, const QString &name, const RegValue &v)
{
    createKey(key);
    Key *k = findKey(key);
    const QString folded = name.toCaseFolded();
    const auto it = k->index.constFind(folded);
    if (it != k->index.cend()) {
        k->values[*it].value = v;
        return;
    }
    k->index.insert(folded, k->values.size());
    k->values.append(NamedValue{name, v});
}

bool RegFile::removeValue(const QString &key, const QString &name)
{
    Key *k = findKey(key);
    if (!k)
        return false;
    const auto it = k->index.constFind(name.toCaseFolded());
    if (it == k->index.cend())
        return false;
    k->values[*it].removed = true;
    k->index.erase(it);
    return true;
}

} // namespace arbelon
