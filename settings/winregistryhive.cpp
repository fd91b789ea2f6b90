// The settings store on Windows: HKEY_CURRENT_USER through QSettings' native format, which
// keeps strings as REG_SZ and ints as REG_DWORD. Built on Windows only.
#include "registryhive.h"

#include <QSettings>
#include <QStringList>
#include <QVariant>

namespace arbelon {

namespace {

// "Arbelon Client\Setup" -> the settings object of "HKEY_CURRENT_USER\Arbelon Client" and
// the group "Setup".
struct Split {
    QString top;
    QString group;
};

Split splitKey(const QString &key)
{
    const qsizetype slash = key.indexOf(QLatin1Char('\\'));
    if (slash < 0)
        return {key, {}};
    return {key.left(slash), key.mid(slash + 1).replace(QLatin1Char('\\'), QLatin1Char('/'))};
}

QString valuePath(const Split &s, const QString &name)
{
    return s.group.isEmpty() ? name : s.group + QLatin1Char('/') + name;
}

RegValue fromVariant(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::QString: return RegValue::fromString(v.toString());
    case QMetaType::Int:
    case QMetaType::UInt: return RegValue::fromDword(v.toUInt());
    case QMetaType::LongLong:
    case QMetaType::ULongLong: {
        RegValue r;
        r.type = RegValue::Qword;
        const quint64 n = v.toULongLong();
        for (int i = 0; i < 8; ++i)
            r.data.append(char((n >> (8 * i)) & 0xFF));
        return r;
    }
    case QMetaType::QStringList: {
        RegValue r;
        r.type = RegValue::MultiSz;
        for (const QString &s : v.toStringList())
            r.data += RegValue::fromString(s).data;
        r.data.append(2, '\0');
        return r;
    }
    default: {
        RegValue r;
        r.type = RegValue::Binary;
        r.data = v.toByteArray();
        return r;
    }
    }
}

class WindowsRegistry : public RegistryHive {
public:
    std::optional<RegValue> value(const QString &key, const QString &name) const override
    {
        const Split s = splitKey(key);
        QSettings reg(QStringLiteral("HKEY_CURRENT_USER\\") + s.top, QSettings::NativeFormat);
        const QVariant v = reg.value(valuePath(s, name));
        if (!v.isValid())
            return std::nullopt;
        return fromVariant(v);
    }

    void createKey(const QString &) override
    {
        // QSettings makes the keys on the first value written below them.
    }

    void setValue(const QString &key, const QString &name, const RegValue &v) override
    {
        const Split s = splitKey(key);
        QSettings reg(QStringLiteral("HKEY_CURRENT_USER\\") + s.top, QSettings::NativeFormat);
        if (v.type == RegValue::Dword)
            reg.setValue(valuePath(s, name), int(v.dword()));
        else
            reg.setValue(valuePath(s, name), v.text());
        reg.sync();
        if (reg.status() != QSettings::NoError)
            m_failed = true;
    }

    void removeValue(const QString &key, const QString &name) override
    {
        const Split s = splitKey(key);
        QSettings reg(QStringLiteral("HKEY_CURRENT_USER\\") + s.top, QSettings::NativeFormat);
        reg.remove(valuePath(s, name));
    }

    bool commit(QString *reason, bool *folderFailed) override
    {
        *folderFailed = false;
        if (m_failed)
            *reason = QStringLiteral("the registry refused the value");
        return !m_failed;
    }

private:
    bool m_failed = false;
};

} // namespace

std::unique_ptr<RegistryHive> openWindowsRegistry()
{
    return std::make_unique<WindowsRegistry>();
}

} // namespace arbelon
