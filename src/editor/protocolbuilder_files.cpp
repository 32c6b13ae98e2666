// The builder's files (SPL in and out, the compiled CSV) and its exchange with the
// instruments' protocols. The editing, undo, refresh and library side is in
// protocolbuilder.cpp.
#include "editor/protocolbuilder.h"

#include "editor/methodexchange.h"
#include "editor/tiprules.h"

#include "formats/csvparser.h"
#include "formats/splparser.h"
#include "model/commands.h"
#include "storage/deviceprotocolstore.h"
#include "storage/protocollibrary.h"
#include "storage/wholefile.h"

#include <QDebug>
#include <QFile>
#include <QTimer>
#include <QUrl>

// --- Files -------------------------------------------------------------------------------

QString ProtocolBuilder::localPath(const QString &filePath) const
{
    const QString local = QUrl(filePath).toLocalFile();
    return local.isEmpty() ? filePath : local;
}

bool ProtocolBuilder::loadFromFile(const QString &filePath)
{
    const QString path = localPath(filePath);
    QFile file(path);
    // Not as text: text mode drops every carriage return, and a file whose lines end in
    // one alone would read as a single line. The reader takes CR, LF and CR LF itself.
    if (!file.open(QIODevice::ReadOnly)) {
        emit errorOccurred(QStringLiteral("Failed to open file: ") + path);
        return false;
    }
    const QString text = QString::fromUtf8(file.readAll());
    QString name;
    QString error;
    QList<Command *> parsed;
    if (!m_splParser->parse(text, &name, &parsed, &error)) {
        qDeleteAll(parsed);
        emit errorOccurred(QStringLiteral("Parse error: ") + error);
        return false;
    }
    Batch batch(this);
    dropAllCommands();
    TipRules::restoreLoopTips(parsed);
    m_protocolName = name;
    for (Command *command : qAsConst(parsed)) {
        m_commands.append(command);
        adopt(command);
    }
    emit protocolNameChanged();
    emit commandsChanged();
    // An edit like any other: a library method opened in the editor takes the file's
    // steps and is saved with them.
    refresh(true);
    return true;
}

bool ProtocolBuilder::saveToFile(const QString &filePath)
{
    const QString path = localPath(filePath);
    if (WholeFile::write(path, m_splPreview.toUtf8(), WholeFile::Text) != WholeFile::Written) {
        emit errorOccurred(QStringLiteral("Failed to save file: ") + path);
        return false;
    }
    return true;
}

bool ProtocolBuilder::compileToCsv(const QString &filePath)
{
    if (hasErrors()) {
        emit errorOccurred(QStringLiteral("Cannot compile CSV: method has validation errors"));
        return false;
    }
    const QString path = localPath(filePath);
    if (WholeFile::write(path, m_csvPreview.toUtf8(), WholeFile::Text) != WholeFile::Written) {
        emit errorOccurred(QStringLiteral("Failed to save CSV file: ") + path);
        return false;
    }
    return true;
}

// --- Device methods and CSV exchange ---------------------------------------------------

QString ProtocolBuilder::csvOf(const QList<Command *> &commands) const
{
    return m_exchange->csvOf(commands);
}

QString ProtocolBuilder::generateCsvForTransfer() const
{
    return hasErrors() ? QString() : m_csvPreview;
}

QByteArray ProtocolBuilder::getCsvData() const
{
    return hasErrors() ? QByteArray() : m_csvPreview.toUtf8();
}

QVariantMap ProtocolBuilder::previewCsvData(const QByteArray &data) const
{
    return m_exchange->previewCsvData(data);
}

QVariantMap ProtocolBuilder::splToDeviceCsv(const QByteArray &splText) const
{
    return m_exchange->splToDeviceCsv(splText);
}

QString ProtocolBuilder::importCsvDataToLibrary(const QByteArray &data, const QString &name)
{
    QString refused;
    const QString id = m_exchange->importCsvDataToLibrary(data, name, &refused);
    if (!refused.isEmpty())
        emit errorOccurred(refused);
    return id;
}

bool ProtocolBuilder::libraryCsvMatchesDevice(const QString &libraryId, const QByteArray &deviceCsv) const
{
    return m_exchange->libraryCsvMatchesDevice(libraryId, deviceCsv);
}

QByteArray ProtocolBuilder::csvForLibraryProtocol(const QString &libraryId) const
{
    return m_exchange->csvForLibraryProtocol(libraryId);
}

void ProtocolBuilder::loadFromDeviceProtocol(const QString &hardwareId, const QString &filename,
                                             const QByteArray &csvData)
{
    qDebug() << "ProtocolBuilder: loading device protocol" << filename << "for" << hardwareId;
    QString refused;
    const QList<Command *> parsed = CsvParser::parse(QString::fromUtf8(csvData), nullptr, &refused);
    if (!refused.isEmpty()) {
        // An empty method in its place could be saved back over the instrument's copy.
        qWarning() << "ProtocolBuilder: device protocol" << filename << "refused:" << refused;
        emit errorOccurred(refused);
        return;
    }
    if (!flushPendingAutoSave()) {
        qDeleteAll(parsed);
        refuseSwitch();
        return;
    }
    m_autoSaveTimer->stop();
    {
        Batch batch(this);
        dropAllCommands();
        for (Command *command : parsed) {
            m_commands.append(command);
            adopt(command);
        }
        m_protocolName = methodNameFromFilename(filename);
        m_isDeviceProtocol = true;
        m_deviceHardwareId = hardwareId;
        m_deviceFilename = filename;
        m_deviceOrigFilename = filename;
        m_isLibraryProtocol = false;
        m_currentProtocolId.clear();
        m_hasUnsavedChanges = false;
        emit protocolNameChanged();
        emit commandsChanged();
        emit isDeviceProtocolChanged();
        emit deviceHardwareIdChanged();
        emit deviceFilenameChanged();
        emit deviceOrigFilenameChanged();
        emit isLibraryProtocolChanged();
        emit currentProtocolIdChanged();
        emit hasUnsavedChangesChanged();
        batch.discard();
    }
    refresh(false);
    resetHistory();
}

QVariantMap ProtocolBuilder::saveToDeviceStore(const QStringList &existingFilenames)
{
    const QString trimmedName = m_protocolName.trimmed();
    const QString newFilename = filenameFromMethodName(m_protocolName);
    const QString oldFilename = m_deviceOrigFilename;
    const auto refuse = [&](const QString &error) {
        return QVariantMap{{QStringLiteral("error"), error},
                           {QStringLiteral("oldFilename"), oldFilename},
                           {QStringLiteral("newFilename"), newFilename}};
    };
    // The file name becomes a path on disk and a group in the settings store.
    if (trimmedName.isEmpty())
        return refuse(QStringLiteral("A protocol name cannot be empty."));
    if (!DeviceProtocolStore::isPlainName(newFilename)) {
        qWarning() << "ProtocolBuilder: unusable device file name" << newFilename;
        return refuse(QStringLiteral("A protocol name cannot contain \"/\", \"\\\" or control characters."));
    }
    if (newFilename != oldFilename && existingFilenames.contains(newFilename))
        return refuse(QStringLiteral("A protocol named \"%1\" already exists on this device.")
                          .arg(trimmedName));

    const QByteArray csv = m_csvPreview.toUtf8();
    const bool filenameChanged = m_deviceFilename != newFilename;
    const bool origChanged = m_deviceOrigFilename != newFilename;
    m_deviceFilename = newFilename;
    m_deviceOrigFilename = newFilename;
    if (filenameChanged)
        emit deviceFilenameChanged();
    if (origChanged)
        emit deviceOrigFilenameChanged();
    return {{QStringLiteral("csvData"), csv},
            {QStringLiteral("oldFilename"), oldFilename},
            {QStringLiteral("newFilename"), newFilename},
            {QStringLiteral("error"), QString()}};
}
