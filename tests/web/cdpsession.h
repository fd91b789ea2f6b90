#pragma once
// A headless Chromium driven over its DevTools protocol, for tests of the web page in a real
// browser: open a page, evaluate an expression in it, take a screenshot. Every wait is
// bounded; the browser is killed when the object goes.

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QWebSocket>

#include <map>

namespace arbelon::test {

class CdpSession {
public:
    CdpSession() = default;
    ~CdpSession();

    // The browser program, or empty when none is installed.
    static QString browserProgram();
    // Starts the browser and opens url in a tab; false with the reason.
    bool start(const QString &url, QString *error);
    bool navigate(const QString &url);
    // The expression's value (returned by value), or an invalid QJsonValue on failure.
    QJsonValue evaluate(const QString &expression);
    // Waits (bounded) until the expression is true in the page.
    bool waitFor(const QString &expression, int timeoutMs = 20000);
    bool screenshot(const QString &path);

private:
    QJsonObject call(const QString &method, const QJsonObject &params = {}, bool inPage = true,
                     int timeoutMs = 20000);

    QTemporaryDir m_profile;
    QProcess m_browser;
    QWebSocket m_socket;
    QString m_session;
    int m_nextId = 1;
    std::map<int, QJsonObject> m_answers;
};

} // namespace arbelon::test
