#pragma once
// A registry hive kept in one text file in the registry-export format, so that value types
// (string, 32-bit integer, anything else) survive a round trip and the file can be read
// and edited by hand:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Arbelon Client\Setup]
//   "ServerIP"="relay.example"
//   "TransferRateSpin"=dword:00000bb8
//
// Values keep the registry's own representation: a type number and raw data bytes (strings
// as UTF-16LE with their terminating zero), so size and type checks work as on the registry.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <optional>

namespace arbelon {

struct RegValue {
    // Registry type numbers; any other number is kept as it is.
    enum Type : quint32 { None = 0,
                          Sz = 1,
                          ExpandSz = 2,
                          Binary = 3,
                          Dword = 4,
                          MultiSz = 7,
                          Qword = 11 };

    quint32 type = Sz;
    QByteArray data;

    static RegValue fromString(const QString &text);
    static RegValue fromDword(quint32 value);
    // The text up to the first zero character (for string types).
    QString text() const;
    // Little-endian value of the first (up to) four data bytes.
    quint32 dword() const;
};

class RegFile {
public:
    // Files larger than this are refused as damaged rather than read into memory.
    static constexpr qint64 kMaxFileSize = 1024 * 1024;
    // The most key lines and value lines a file may hold: the client keeps a handful, and a
    // file past these is refused (with the reason) rather than read, so any file reads at once.
    static constexpr qsizetype kMaxKeys = 1000;
    static constexpr qsizetype kMaxValues = 10000;
    // The most data bytes of one value written in hexadecimal (over continued lines).
    static constexpr qsizetype kMaxHexBytes = 64 * 1024;

    // Parses the text of a file. Returns an empty optional and sets error (with a line
    // number) when the text is not in the format.
    static std::optional<RegFile> parse(const QByteArray &bytes, QString *error);
    QByteArray serialize() const;

    bool hasKey(const QString &key) const;
    void createKey(const QString &key);
    std::optional<RegValue> value(const QString &key, const QString &name) const;
    void setValue(const QString &key, const QString &name, const RegValue &v);
    // True when the value existed.
    bool removeValue(const QString &key, const QString &name);

private:
    struct NamedValue {
        QString name;
        RegValue value;
        bool removed = false; // left in place so the index of the ones after it holds
    };
    // Names are compared without regard to case, as the registry does; the indexes map a
    // case-folded name to its place, so a lookup costs the same however many there are.
    struct Key {
        QString path;
        QList<NamedValue> values;
        QHash<QString, qsizetype> index;
    };

    Key *findKey(const QString &key);
    const Key *findKey(const QString &key) const;

    QList<Key> m_keys;
    QHash<QString, qsizetype> m_keyIndex;
};

} // namespace arbelon
