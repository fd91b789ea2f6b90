#pragma once
// The Filmer's side of demo transfer: the game's console log switched on, the console log
// scanned for the demos the game records, and each demo uploaded while it grows.

#include <QString>

namespace arbelon {

class ClientCore;

class FilmerUpload {
public:
    explicit FilmerUpload(ClientCore &core);
    ~FilmerUpload();

    // ---- hooks called by the session ----
    void prepare();           // session connected as a Filmer, before GAMEINFO
    void enableLog();         // lobby entry: the logging line in autoexec.cfg
    void closeFiles();        // demo close and console log close

    // ---- timer ticks (the session wires the timers to these) ----
    void LogFileScanTimer();
    void OutDemoStreamTimer();

    // ---- acknowledgement effects ----
    void uploadStart();       // GAMEINFO accepted
    void nextDemo();          // DEMORESTART accepted
    void blockAccepted();     // DEMOPACKET accepted
    void blockRejected();     // DEMOPACKET refused

private:
    ClientCore &m_core;
};

} // namespace arbelon
