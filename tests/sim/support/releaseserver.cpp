#include "releaseserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

ReleaseServer::ReleaseServer(QObject *parent)
    : QObject(parent)
{
}

ReleaseServer::~ReleaseServer()
{
    stop();
}

QString ReleaseServer::fixtureRoot()
{
    return QStringLiteral(NERRA_RELEASE_FIXTURE);
}

QUrl ReleaseServer::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
}

bool ReleaseServer::copyTree(const QString &from, const QString &to)
{
    const QDir source(from);
    if (!source.exists()) {
        m_error = QStringLiteral("no fixture tree at ") + from;
        return false;
    }
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        const QString target = to + QLatin1Char('/') + source.relativeFilePath(file);
        if (!QDir().mkpath(QFileInfo(target).path()) || !QFile::copy(file, target)) {
            m_error = QStringLiteral("cannot copy ") + file;
            return false;
        }
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner);
    }
    return true;
}

void ReleaseServer::substituteBaseUrl()
{
    QDirIterator it(root(), {QStringLiteral("*.json")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (!file.open(QIODevice::ReadWrite))
            continue;
        QByteArray text = file.readAll();
        text.replace("@BASE_URL@", baseUrl().toString().toUtf8());
        file.resize(0);
        file.write(text);
    }
}

bool ReleaseServer::start(const QString &sourceRoot, int timeoutMs)
{
    stop();
    if (!m_copy.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    if (!copyTree(sourceRoot, root()))
        return false;
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty()) {
        m_error = QStringLiteral("python3 not found");
        return false;
    }
    // Port 0: the system picks a free one, and the server prints it.
    m_process.setProgram(python);
    m_process.setArguments({QStringLiteral("-u"), QStringLiteral("-m"), QStringLiteral("http.server"),
                            QStringLiteral("--bind"), QStringLiteral("127.0.0.1"), QStringLiteral("--directory"),
                            root(), QStringLiteral("0")});
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start();
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("cannot start python3: ") + m_process.errorString();
        return false;
    }
    static const QRegularExpression announcement(QStringLiteral("port (\\d+)"));
    QByteArray output;
    QDeadlineTimer deadline(timeoutMs);
    while (m_port == 0 && !deadline.hasExpired() && m_process.state() == QProcess::Running) {
        if (!m_process.canReadLine()) {
            m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
            continue;
        }
        output += m_process.readLine();
        const QRegularExpressionMatch match = announcement.match(QString::fromLocal8Bit(output));
        if (match.hasMatch())
            m_port = match.captured(1).toInt();
    }
    if (m_port == 0) {
        m_error = QStringLiteral("the server did not say where it listens: ") + QString::fromLocal8Bit(output);
        stop();
        return false;
    }
    substituteBaseUrl();
    return true;
}

void ReleaseServer::stop()
{
    m_port = 0;
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}
