#include "cdpsession.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTest>

namespace arbelon::test {

CdpSession::~CdpSession()
{
    m_socket.abort();
    if (m_browser.state() != QProcess::NotRunning) {
        m_browser.kill();
        m_browser.waitForFinished(10000);
    }
}

QString CdpSession::browserProgram()
{
    for (const QString &name : {QStringLiteral("chromium"), QStringLiteral("chromium-browser")}) {
        const QString path = QStandardPaths::findExecutable(name);
        if (!path.isEmpty())
            return path;
    }
    return {};
}

bool CdpSession::start(const QString &url, QString *error)
{
    if (!m_profile.isValid()) {
        *error = QStringLiteral("no temporary profile folder");
        return false;
    }
    // The browser's own chatter (no D-Bus here, and so on) only when asked for.
    if (!qEnvironmentVariableIsSet("ARBELON_BROWSER_LOG"))
        m_browser.setStandardErrorFile(QProcess::nullDevice());
    m_browser.setStandardOutputFile(QProcess::nullDevice());
    m_browser.start(browserProgram(),
                    {QStringLiteral("--headless=new"), QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"),
                     QStringLiteral("--no-first-run"), QStringLiteral("--no-default-browser-check"),
                     QStringLiteral("--disable-extensions"), QStringLiteral("--disable-background-networking"),
                     QStringLiteral("--window-size=1000,600"), QStringLiteral("--remote-debugging-address=127.0.0.1"),
                     QStringLiteral("--remote-debugging-port=0"), QStringLiteral("--user-data-dir=") + m_profile.path(),
                     QStringLiteral("about:blank")});
    if (!m_browser.waitForStarted(15000)) {
        *error = QStringLiteral("browser did not start: ") + m_browser.errorString();
        return false;
    }
    // The browser writes its port and path once it listens.
    QFile portFile(m_profile.filePath(QStringLiteral("DevToolsActivePort")));
    QByteArrayList lines;
    const QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired() && m_browser.state() == QProcess::Running) {
        if (portFile.open(QIODevice::ReadOnly)) {
            lines = portFile.readAll().split('\n');
            portFile.close();
            if (lines.size() >= 2 && !lines.at(1).isEmpty())
                break;
        }
        QTest::qWait(100);
    }
    if (lines.size() < 2 || lines.at(1).isEmpty()) {
        *error = QStringLiteral("browser gave no DevTools port");
        return false;
    }
    m_socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1%2").arg(QString::fromLatin1(lines.at(0)), QString::fromLatin1(lines.at(1)))));
    QObject::connect(&m_socket, &QWebSocket::textMessageReceived, &m_socket, [this](const QString &text) {
        const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
        if (o.contains(QStringLiteral("id")))
            m_answers[o.value(QStringLiteral("id")).toInt()] = o;
    });
    if (!QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState; }, 15000)) {
        *error = QStringLiteral("DevTools connection failed: ") + m_socket.errorString();
        return false;
    }
    const QString target = call(QStringLiteral("Target.createTarget"), {{QStringLiteral("url"), url}}, false)
                               .value(QStringLiteral("targetId"))
                               .toString();
    m_session = call(QStringLiteral("Target.attachToTarget"),
                     {{QStringLiteral("targetId"), target}, {QStringLiteral("flatten"), true}}, false)
                    .value(QStringLiteral("sessionId"))
                    .toString();
    if (m_session.isEmpty()) {
        *error = QStringLiteral("no page session");
        return false;
    }
    return waitFor(QStringLiteral("document.readyState === 'complete'"));
}

QJsonObject CdpSession::call(const QString &method, const QJsonObject &params, bool inPage, int timeoutMs)
{
    const int id = m_nextId++;
    QJsonObject message{{QStringLiteral("id"), id}, {QStringLiteral("method"), method}, {QStringLiteral("params"), params}};
    if (inPage)
        message.insert(QStringLiteral("sessionId"), m_session);
    m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    if (!QTest::qWaitFor([&] { return m_answers.count(id) > 0; }, timeoutMs))
        return {};
    const QJsonObject answer = m_answers[id];
    m_answers.erase(id);
    return answer.value(QStringLiteral("result")).toObject();
}

bool CdpSession::navigate(const QString &url)
{
    call(QStringLiteral("Page.navigate"), {{QStringLiteral("url"), url}});
    return waitFor(QStringLiteral("location.href === %1 && document.readyState === 'complete'")
                       .arg(QString::fromUtf8(QJsonDocument(QJsonArray{url}).toJson(QJsonDocument::Compact)).mid(1).chopped(1)));
}

QJsonValue CdpSession::evaluate(const QString &expression)
{
    const QJsonObject r = call(QStringLiteral("Runtime.evaluate"),
                               {{QStringLiteral("expression"), expression}, {QStringLiteral("returnByValue"), true}});
    if (r.contains(QStringLiteral("exceptionDetails")))
        return QJsonValue(QJsonValue::Undefined);
    return r.value(QStringLiteral("result")).toObject().value(QStringLiteral("value"));
}

bool CdpSession::waitFor(const QString &expression, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (evaluate(expression).toBool())
            return true;
        QTest::qWait(100);
    }
    return false;
}

bool CdpSession::screenshot(const QString &path)
{
    const QByteArray png = QByteArray::fromBase64(
        call(QStringLiteral("Page.captureScreenshot"), {{QStringLiteral("format"), QStringLiteral("png")}})
            .value(QStringLiteral("data"))
            .toString()
            .toLatin1());
    QFile out(path);
    return !png.isEmpty() && out.open(QIODevice::WriteOnly) && out.write(png) == png.size();
}

} // namespace arbelon::test
