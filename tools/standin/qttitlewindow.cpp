#include "standin/titlewindow.h"

#include "standin/standingame.h"

#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

namespace arbelon {

namespace {
class QtTitleWindow : public TitleWindow {
public:
    QtTitleWindow(const QString &title, StandinGame &game)
    {
        m_window.setWindowTitle(title);
        auto *layout = new QVBoxLayout(&m_window);
        auto *status = new QLabel(&m_window);
        layout->addWidget(status);
        QObject::connect(&game, &StandinGame::statusChanged, status, &QLabel::setText);
        m_window.resize(480, 200);
        m_window.show();
    }

private:
    QWidget m_window;
};
} // namespace

bool titleWindowNeedsGuiApplication()
{
    return true;
}

std::unique_ptr<TitleWindow> showTitleWindow(const QString &title, StandinGame &game)
{
    return std::make_unique<QtTitleWindow>(title, game);
}

} // namespace arbelon
