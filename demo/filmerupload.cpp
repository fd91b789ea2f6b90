#include "demo/filmerupload.h"

#include "session/clientcore.h"

namespace arbelon {

FilmerUpload::FilmerUpload(ClientCore &core) : m_core(core) {}
FilmerUpload::~FilmerUpload() = default;

void FilmerUpload::prepare() {}
void FilmerUpload::enableLog() {}
void FilmerUpload::closeFiles() {}
void FilmerUpload::LogFileScanTimer() {}
void FilmerUpload::OutDemoStreamTimer() {}
void FilmerUpload::uploadStart() { m_core.demo().uploadCounter = 0; }
void FilmerUpload::nextDemo() {}
void FilmerUpload::blockAccepted() {}
void FilmerUpload::blockRejected() {}

} // namespace arbelon
