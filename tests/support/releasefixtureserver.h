#pragma once

#include <QByteArray>
#include <QHash>
#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>

#include <optional>

class QTcpSocket;

// A release server on 127.0.0.1 that serves a folder tree (sim/release unless told
// otherwise) over HTTP, or HTTPS with a certificate it is given, and misbehaves on
// demand per path. Every request path is logged, so a test can tell which files were
// asked for. Each connection carries one request and is closed.
class ReleaseFixtureServer : public QTcpServer
{
    Q_OBJECT

public:
    enum class Fault {
        None,
        Slow,           // the body trickles in pieces (setTrickle)
        Hang,           // the request is read and never answered
        Truncate,       // Content-Length promises more than is sent, then the connection closes
        Redirect,       // 302 to the target: a path on this server or a full URL
        ServerError,    // status 500
        HtmlPage,       // status 200 with an HTML page instead of the file
        EmptyBody,      // status 200 with nothing
        Md5sumChecksum, // a ".md5" path answered with "<md5>  <name>.bin\n", as md5sum writes it
    };
    Q_ENUM(Fault)

    explicit ReleaseFixtureServer(const QString &root = defaultRoot(), QObject *parent = nullptr);

    static QString defaultRoot();

    // Listens on 127.0.0.1 with a free port; HTTPS when a certificate was set before.
    bool start();
    void setTls(const QSslCertificate &certificate, const QSslKey &key);
    QUrl baseUrl() const;

    // Served at `path` in place of the tree's file (or where the tree has none).
    void setFile(const QString &path, const QByteArray &body);
    void setFault(const QString &path, Fault fault, const QString &target = QString());
    void setTrickle(int bytesPerPiece, int intervalMs);

    QStringList requests() const { return m_requests; }
    int requestCount(const QString &path) const { return m_requests.count(path); }

    // A self-signed certificate for 127.0.0.1 made with the openssl program in `folder`.
    static bool makeCertificate(const QString &folder, QSslCertificate *certificate, QSslKey *key);

protected:
    void incomingConnection(qintptr handle) override;

private:
    struct Rule {
        Fault fault = Fault::None;
        QString target;
    };

    void answer(QTcpSocket *socket, const QString &path);
    void answerFile(QTcpSocket *socket, Fault fault, const QByteArray &body);
    std::optional<QByteArray> fileBody(const QString &path) const;
    std::optional<QByteArray> checksumBody(const QString &path) const;
    static void send(QTcpSocket *socket, int status, const QByteArray &body,
                     const QByteArray &extraHeaders = QByteArray(), qint64 contentLength = -1);
    void trickle(QTcpSocket *socket, const QByteArray &body);

    QString m_root;
    QHash<QString, QByteArray> m_files;
    QHash<QString, Rule> m_rules;
    int m_trickleBytes = 256;
    int m_trickleIntervalMs = 20;
    QStringList m_requests;
    QSslCertificate m_certificate;
    QSslKey m_key;
};
