#pragma once
// Diagnostic trace of the receive loop. Lines are made only while the sink is switched
// on (the window switches it on while its diagnostic pane is visible).

#include <QString>
#include <functional>

namespace arbelon {

class TraceSink {
public:
    using LineFn = std::function<void(const QString &)>;

    void setEnabled(bool on) { m_enabled = on; }
    bool enabled() const { return m_enabled; }
    void setLineHandler(LineFn fn) { m_line = std::move(fn); }
    void line(const QString &text) const
    {
        if (m_enabled && m_line)
            m_line(text);
    }

private:
    bool m_enabled = false;
    LineFn m_line;
};

} // namespace arbelon
