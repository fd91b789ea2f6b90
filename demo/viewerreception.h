#pragma once
// The Viewer's side of demo transfer: demo names and paths, the start-of-demo and
// demo-block handlers, the demo file kept open between blocks, the demo list, and the
// game launch on a listed demo.

#include <QDateTime>
#include <QFile>
#include <QString>
#include <memory>

namespace arbelon {

class ClientCore;

class ViewerReception {
public:
    explicit ViewerReception(ClientCore &core);
    ~ViewerReception();

    // ---- record handlers (dispatched for types 11 and 9, in any state and role) ----
    bool handleDemoRestart();
    bool handleDemoPacket();

    // ---- hooks called by the session ----
    void sessionConnected();   // clears the current path, pending list, names and rows
    void prepareLobby();       // Viewer lobby preparation
    void demoClose();          // closes the demo file, clears the current demo path
    void DemoListDblClick(int row);

    bool demoFileOpen() const;

    // ---- naming rules (public for tests) ----
    static QString demoName(const QString &gameName, const QDateTime &when);

private:
    ClientCore &m_core;
    std::unique_ptr<QFile> m_demoFile;
};

} // namespace arbelon
