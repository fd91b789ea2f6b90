#pragma once
// A watch link opened in the client: connects as a Viewer to the link's relay (or keeps the
// session already there), waits a bounded time for the game to be listed, and enters its
// lobby. Any way this can fail ends in failed() with the reason in words.

#include "watchlink.h"

#include <QObject>
#include <QTimer>
#include <optional>

namespace arbelon {

class ClientCore;

class LinkWatch : public QObject {
    Q_OBJECT
public:
    // How long the game list may take to name the game once the session is up.
    static constexpr int kGameWaitMs = 10000;

    explicit LinkWatch(ClientCore &core, QObject *parent = nullptr);

    // Watches the link's game. A session in the way (filming, watching, another relay, an
    // attempt pending) ends only if the user agrees; a Viewer session on the same relay
    // outside a lobby is kept. A later link replaces one still pending.
    void open(const WatchLink &link);
    bool pending() const { return m_link.has_value(); }
    void setGameWaitMs(int ms) { m_gameWait.setInterval(ms); }

    // "HOST:PORT" as the user reads it in messages.
    static QString where(const WatchLink &link);

signals:
    void watching(quint32 gameId);
    void failed(const QString &text);
    // The user kept the current session: nothing happens.
    void declined();

private:
    bool sameRelay(const WatchLink &link) const;
    void tryWatch();
    void fail(const QString &text);

    ClientCore &m_core;
    std::optional<WatchLink> m_link;
    bool m_sent = false; // the request for the game is on its way
    QTimer m_gameWait;
};

} // namespace arbelon
