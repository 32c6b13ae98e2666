#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

// Serves a copy of the release-server fixture tree (sim/release) over real HTTP on
// 127.0.0.1 with a port the system picks, using Python's standard HTTP server. The copy
// may be changed by a test (a damaged image, a missing manifest) without touching the
// fixture; "@BASE_URL@" in the application manifests becomes the address served.
class ReleaseServer : public QObject
{
    Q_OBJECT

public:
    explicit ReleaseServer(QObject *parent = nullptr);
    ~ReleaseServer() override;

    // The fixture tree of the source folder.
    static QString fixtureRoot();

    bool start(const QString &sourceRoot = fixtureRoot(), int timeoutMs = 15000);
    void stop();
    bool isRunning() const { return m_process.state() == QProcess::Running && m_port > 0; }

    // "http://127.0.0.1:<port>", without a trailing slash, as the base addresses are kept.
    QUrl baseUrl() const;
    // The folder being served.
    QString root() const { return m_copy.path(); }
    QString errorString() const { return m_error; }

private:
    bool copyTree(const QString &from, const QString &to);
    void substituteBaseUrl();

    QTemporaryDir m_copy;
    QProcess m_process;
    int m_port = 0;
    QString m_error;
};
