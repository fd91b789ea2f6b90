#include "demo/viewerreception.h"

#include "session/clientcore.h"

namespace arbelon {

ViewerReception::ViewerReception(ClientCore &core) : m_core(core) {}
ViewerReception::~ViewerReception() = default;

bool ViewerReception::handleDemoRestart() { return false; }
bool ViewerReception::handleDemoPacket() { return false; }
void ViewerReception::sessionConnected() {}
void ViewerReception::prepareLobby() {}
void ViewerReception::demoClose() { m_demoFile.reset(); m_core.demo().currentDemoPath.clear(); }
void ViewerReception::DemoListDblClick(int) {}
bool ViewerReception::demoFileOpen() const { return m_demoFile != nullptr; }
QString ViewerReception::demoName(const QString &gameName, const QDateTime &) { return gameName; }

} // namespace arbelon
