#include "standin/titlewindow.h"

#include "standin/standingame.h"

#include <windows.h>

namespace arbelon {

namespace {
class Win32TitleWindow : public TitleWindow {
public:
    Win32TitleWindow(const QString &title, StandinGame &game)
        : m_hwnd(CreateWindowExW(0, L"STATIC", reinterpret_cast<const wchar_t *>(title.utf16()),
                                 WS_OVERLAPPEDWINDOW | WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, 480, 200,
                                 nullptr, nullptr, GetModuleHandleW(nullptr), nullptr))
    {
        // The caption stays the game's; what it does goes into a child line of text.
        m_status = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 8, 8, 460, 24, m_hwnd, nullptr,
                                   GetModuleHandleW(nullptr), nullptr);
        QObject::connect(&game, &StandinGame::statusChanged, &game, [this](const QString &text) {
            SetWindowTextW(m_status, reinterpret_cast<const wchar_t *>(text.utf16()));
        });
    }
    ~Win32TitleWindow() override
    {
        if (m_hwnd)
            DestroyWindow(m_hwnd);
    }

private:
    HWND m_hwnd;
    HWND m_status = nullptr;
};
} // namespace

bool titleWindowNeedsGuiApplication()
{
    return false;
}

std::unique_ptr<TitleWindow> showTitleWindow(const QString &title, StandinGame &game)
{
    return std::make_unique<Win32TitleWindow>(title, game);
}

} // namespace arbelon
