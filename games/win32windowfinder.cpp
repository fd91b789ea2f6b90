// The window finder on Windows: the desktop's top-level windows, as FindWindowW searches
// them (hidden ones too), but with the title compared exactly: FindWindowW ignores case,
// and "quake 2" is not the game's window.
#include "windowfinder.h"

#include <QString>

#include <windows.h>

#include <vector>

namespace arbelon {

namespace {

struct Search {
    std::wstring title;
    std::vector<std::wstring> classes;
    bool found = false;
};

std::wstring wide(const QByteArray &utf8)
{
    return QString::fromUtf8(utf8).toStdWString();
}

bool sameIgnoringCase(const std::wstring &a, const wchar_t *b, int length)
{
    return int(a.size()) == length
           && CompareStringOrdinal(a.c_str(), length, b, length, TRUE) == CSTR_EQUAL;
}

BOOL CALLBACK visit(HWND window, LPARAM param)
{
    auto *search = reinterpret_cast<Search *>(param);
    if (!search->title.empty()) {
        const int length = GetWindowTextLengthW(window);
        if (length == int(search->title.size())) {
            std::vector<wchar_t> text(size_t(length) + 1, L'\0');
            const int got = GetWindowTextW(window, text.data(), length + 1);
            if (got == length && search->title.compare(0, std::wstring::npos, text.data(), size_t(got)) == 0)
                search->found = true;
        }
    }
    if (!search->found && !search->classes.empty()) {
        wchar_t name[256];
        const int got = GetClassNameW(window, name, 256);
        for (const std::wstring &cls : search->classes) {
            if (got > 0 && sameIgnoringCase(cls, name, got))
                search->found = true;
        }
    }
    return search->found ? FALSE : TRUE;
}

class Win32WindowFinder : public WindowFinder {
public:
    // A Windows session always has its desktop.
    bool reachable() override { return true; }

    std::optional<bool> topLevelWindowExists(const WindowMatch &match) override
    {
        Search search;
        search.title = wide(match.title);
        for (const QByteArray &cls : match.classes) {
            if (!cls.isEmpty())
                search.classes.push_back(wide(cls));
        }
        if (search.title.empty() && search.classes.empty())
            return false;
        EnumWindows(visit, reinterpret_cast<LPARAM>(&search));
        return search.found;
    }
};

} // namespace

WindowFinder::~WindowFinder() = default;

std::unique_ptr<WindowFinder> WindowFinder::create()
{
    return std::make_unique<Win32WindowFinder>();
}

} // namespace arbelon
