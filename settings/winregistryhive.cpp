// The settings store on Windows: HKEY_CURRENT_USER through the registry API itself, so that a
// value keeps its exact type and bytes (a REG_BINARY stays binary and is refused by type, a
// text starting with "@" stays as it is), as the store's type rules need. Built on Windows only.
#include "registryhive.h"

#include <windows.h>

#include <string>

namespace arbelon {

namespace {

// Values the client keeps are short; anything past this is not one of them.
constexpr DWORD kMaxValueBytes = 64 * 1024;

std::wstring wide(const QString &s)
{
    return s.toStdWString();
}

class WindowsRegistry : public RegistryHive {
public:
    std::optional<RegValue> value(const QString &key, const QString &name) const override
    {
        HKEY h = nullptr;
        // A missing key is read as empty, never made.
        if (RegOpenKeyExW(HKEY_CURRENT_USER, wide(key).c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
            return std::nullopt;
        const std::wstring valueName = wide(name);
        DWORD type = 0;
        DWORD size = 0;
        LSTATUS status = RegQueryValueExW(h, valueName.c_str(), nullptr, &type, nullptr, &size);
        std::optional<RegValue> result;
        if (status == ERROR_SUCCESS && size <= kMaxValueBytes) {
            RegValue v;
            v.type = type;
            v.data.resize(qsizetype(size));
            status = RegQueryValueExW(h, valueName.c_str(), nullptr, &type,
                                      reinterpret_cast<BYTE *>(v.data.data()), &size);
            if (status == ERROR_SUCCESS) {
                v.type = type;
                v.data.resize(qsizetype(size));
                result = v;
            }
        } else if (status == ERROR_SUCCESS) {
            // Too large to be ours: its type still tells the store what to say.
            RegValue v;
            v.type = type;
            v.data = QByteArray(8, '\0');
            result = v;
        }
        RegCloseKey(h);
        return result;
    }

    void createKey(const QString &key) override
    {
        if (HKEY h = createForWriting(key))
            RegCloseKey(h);
    }

    void setValue(const QString &key, const QString &name, const RegValue &v) override
    {
        HKEY h = createForWriting(key);
        if (!h)
            return;
        const LSTATUS status = RegSetValueExW(h, wide(name).c_str(), 0, DWORD(v.type),
                                              reinterpret_cast<const BYTE *>(v.data.constData()),
                                              DWORD(v.data.size()));
        RegCloseKey(h);
        if (status != ERROR_SUCCESS)
            fail(name, false);
    }

    void removeValue(const QString &key, const QString &name) override
    {
        HKEY h = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, wide(key).c_str(), 0, KEY_SET_VALUE, &h) != ERROR_SUCCESS)
            return;
        RegDeleteValueW(h, wide(name).c_str());
        RegCloseKey(h);
    }

    // Each value went to the registry as it was set; commit only tells what failed.
    bool commit(QString *reason, bool *folderFailed) override
    {
        *folderFailed = m_keyFailed;
        if (!m_failure.isEmpty())
            *reason = m_failure;
        return m_failure.isEmpty();
    }

private:
    // The key, made when missing; nullptr (and the failure kept) when it cannot be.
    HKEY createForWriting(const QString &key)
    {
        HKEY h = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, wide(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE, nullptr, &h, nullptr)
            == ERROR_SUCCESS)
            return h;
        fail(key, true);
        return nullptr;
    }

    void fail(const QString &what, bool key)
    {
        if (!m_failure.isEmpty())
            return;
        m_keyFailed = key;
        m_failure = key ? QStringLiteral("the registry refused the key HKEY_CURRENT_USER\\%1").arg(what)
                        : QStringLiteral("the registry refused the value %1").arg(what);
    }

    QString m_failure;
    bool m_keyFailed = false;
};

} // namespace

bool nativeRegistryAvailable()
{
    return true;
}

std::unique_ptr<RegistryHive> openNativeRegistry()
{
    return std::make_unique<WindowsRegistry>();
}

} // namespace arbelon
