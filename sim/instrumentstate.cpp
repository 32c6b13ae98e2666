#include "instrumentstate.h"

#include "storage/wholefile.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace {

const QString StateFileName = QStringLiteral("state.json");

QString randomHardwareId()
{
    QString id;
    for (int i = 0; i < 12; ++i)
        id.append(QStringLiteral("0123456789ABCDEF").at(QRandomGenerator::global()->bounded(16)));
    return id;
}

bool writeWhole(const QString &path, const QByteArray &bytes)
{
    return WholeFile::write(path, bytes) == WholeFile::Written;
}

} // namespace

QStringList InstrumentState::coefficientKeys()
{
    return {QStringLiteral("st1"),   QStringLiteral("st2"),   QStringLiteral("st10"),  QStringLiteral("st50"),
            QStringLiteral("st200"), QStringLiteral("lt100"), QStringLiteral("lt500"), QStringLiteral("lt1000")};
}

bool InstrumentState::isValidFileName(const QString &name)
{
    // The program names files after the user's methods, so anything goes except what could
    // leave the files folder or break a line of the protocol.
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    if (name.toUtf8().size() > MaxFileNameBytes)
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

InstrumentState::InstrumentState(QObject *parent)
    : QObject(parent)
    , m_hardwareId(randomHardwareId())
    , m_name(QStringLiteral("Nerra Sim"))
    , m_serialNumber(QStringLiteral("NS-") + m_hardwareId.right(6))
    , m_color(2)
    , m_coefficients(CoefficientCount, 1.0)
    , m_firmware{QStringLiteral("1.4.2"), 1}
    , m_previousFirmware{QStringLiteral("1.4.2"), 1}
{
}

bool InstrumentState::setStorageFolder(const QString &folder)
{
    if (!QDir().mkpath(folder + QStringLiteral("/protocols")))
        return false;
    m_folder = QDir(folder).absolutePath();
    if (QFile::exists(QDir(m_folder).filePath(StateFileName)))
        load();
    else
        commit();
    emit changed();
    return true;
}

QString InstrumentState::filesFolder() const
{
    return m_folder + QStringLiteral("/protocols");
}

void InstrumentState::load()
{
    QFile stateFile(QDir(m_folder).filePath(StateFileName));
    if (!stateFile.open(QIODevice::ReadOnly))
        return;
    const QJsonObject root = QJsonDocument::fromJson(stateFile.readAll()).object();
    auto text = [&root](const char *key, const QString &fallback) {
        const QJsonValue value = root.value(QLatin1String(key));
        return value.isString() ? value.toString() : fallback;
    };
    m_hardwareId = text("id", m_hardwareId);
    m_name = text("name", m_name);
    m_serialNumber = text("sn", m_serialNumber);
    m_color = root.value(QStringLiteral("color")).toInt(m_color);
    m_ssid = text("ssid", m_ssid);
    m_password = text("password", m_password);
    m_calDate = text("calDate", m_calDate);
    m_otherPreferences = root.value(QStringLiteral("prefs")).toObject().toVariantMap();
    const QJsonArray coefficients = root.value(QStringLiteral("calibration")).toArray();
    for (int i = 0; i < CoefficientCount && i < coefficients.size(); ++i)
        m_coefficients[i] = coefficients.at(i).toDouble(1.0);
    m_certificateRecord = text("certificate", QString());
    m_certificateFile = text("certificateFile", QString());
    const QJsonObject firmware = root.value(QStringLiteral("firmware")).toObject();
    auto slot = [&firmware](const char *key, const Firmware &fallback) {
        const QJsonObject object = firmware.value(QLatin1String(key)).toObject();
        if (object.isEmpty())
            return fallback;
        return Firmware{object.value(QStringLiteral("version")).toString(),
                        object.value(QStringLiteral("otaUsb")).toInt()};
    };
    m_firmware = slot("running", m_firmware);
    m_previousFirmware = slot("previous", m_previousFirmware);
    m_hasStagedImage = firmware.contains(QStringLiteral("staged"));
    m_stagedFirmware = slot("staged", Firmware{});
    m_imageConfirmed = firmware.value(QStringLiteral("confirmed")).toBool(true);

    m_files.clear();
    const QDir files(filesFolder());
    for (const QString &name : files.entryList(QDir::Files, QDir::Name)) {
        if (!isValidFileName(name))
            continue;
        QFile file(files.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            m_files.insert(name, file.readAll());
    }
}

void InstrumentState::commit()
{
    if (!m_folder.isEmpty()) {
        auto slot = [](const Firmware &firmware) {
            return QJsonObject{{QStringLiteral("version"), firmware.version},
                               {QStringLiteral("otaUsb"), firmware.otaUsb}};
        };
        QJsonObject firmware{{QStringLiteral("running"), slot(m_firmware)},
                             {QStringLiteral("previous"), slot(m_previousFirmware)},
                             {QStringLiteral("confirmed"), m_imageConfirmed}};
        if (m_hasStagedImage)
            firmware.insert(QStringLiteral("staged"), slot(m_stagedFirmware));
        QJsonArray coefficients;
        for (double value : qAsConst(m_coefficients))
            coefficients.append(value);
        const QJsonObject root{{QStringLiteral("id"), m_hardwareId},
                               {QStringLiteral("name"), m_name},
                               {QStringLiteral("sn"), m_serialNumber},
                               {QStringLiteral("color"), m_color},
                               {QStringLiteral("ssid"), m_ssid},
                               {QStringLiteral("password"), m_password},
                               {QStringLiteral("calDate"), m_calDate},
                               {QStringLiteral("prefs"), QJsonObject::fromVariantMap(m_otherPreferences)},
                               {QStringLiteral("calibration"), coefficients},
                               {QStringLiteral("certificate"), m_certificateRecord},
                               {QStringLiteral("certificateFile"), m_certificateFile},
                               {QStringLiteral("firmware"), firmware}};
        writeWhole(QDir(m_folder).filePath(StateFileName), QJsonDocument(root).toJson());
    }
    emit changed();
}

void InstrumentState::setHardwareId(const QString &id)
{
    if (m_hardwareId == id)
        return;
    m_hardwareId = id;
    commit();
}

QVariantMap InstrumentState::preferences() const
{
    QVariantMap prefs = m_otherPreferences;
    prefs.insert(QStringLiteral("name"), m_name);
    prefs.insert(QStringLiteral("sn"), m_serialNumber);
    prefs.insert(QStringLiteral("ssid"), m_ssid);
    prefs.insert(QStringLiteral("password"), m_password);
    prefs.insert(QStringLiteral("calDate"), m_calDate);
    prefs.insert(QStringLiteral("color"), m_color);
    return prefs;
}

bool InstrumentState::setPreference(const QString &key, const QString &value, QString *error)
{
    static const QRegularExpression keyPattern(QStringLiteral("^[A-Za-z][A-Za-z0-9_]{0,31}$"));
    if (!keyPattern.match(key).hasMatch()) {
        if (error)
            *error = QStringLiteral("invalid preference key");
        return false;
    }
    if (key == QLatin1String("name")) {
        m_name = value;
    } else if (key == QLatin1String("sn")) {
        m_serialNumber = value;
    } else if (key == QLatin1String("ssid")) {
        m_ssid = value;
    } else if (key == QLatin1String("password")) {
        m_password = value;
    } else if (key == QLatin1String("calDate")) {
        m_calDate = value;
    } else if (key == QLatin1String("color")) {
        bool ok = false;
        const int color = value.toInt(&ok);
        if (!ok || color < -1) {
            if (error)
                *error = QStringLiteral("color must be a colour index");
            return false;
        }
        m_color = color;
    } else {
        m_otherPreferences.insert(key, value);
    }
    commit();
    return true;
}

bool InstrumentState::putFile(const QString &name, const QByteArray &contents, QString *error)
{
    if (!isValidFileName(name)) {
        if (error)
            *error = QStringLiteral("invalid file name");
        return false;
    }
    if (!m_folder.isEmpty() && !writeWhole(QDir(filesFolder()).filePath(name), contents)) {
        if (error)
            *error = QStringLiteral("storage full");
        return false;
    }
    m_files.insert(name, contents);
    emit changed();
    return true;
}

bool InstrumentState::removeFile(const QString &name)
{
    if (!m_files.remove(name))
        return false;
    if (!m_folder.isEmpty())
        QFile::remove(QDir(filesFolder()).filePath(name));
    emit changed();
    return true;
}

bool InstrumentState::setCoefficient(int index, double value)
{
    if (index < 0 || index >= CoefficientCount)
        return false;
    m_coefficients[index] = value;
    commit();
    return true;
}

QVariantMap InstrumentState::calibrationRecord() const
{
    QVariantMap record;
    const QStringList keys = coefficientKeys();
    for (int i = 0; i < CoefficientCount; ++i)
        record.insert(keys.at(i), m_coefficients.at(i));
    return record;
}

void InstrumentState::setCertificateRecord(const QString &recordJson)
{
    m_certificateRecord = recordJson;
    commit();
}

void InstrumentState::setCertificateFile(const QString &base64)
{
    m_certificateFile = base64;
    commit();
}

void InstrumentState::clearCertificate()
{
    m_certificateRecord.clear();
    m_certificateFile.clear();
    commit();
}

void InstrumentState::setFirmware(const QString &version, int otaUsbVersion)
{
    m_firmware = {version, otaUsbVersion};
    m_previousFirmware = m_firmware;
    m_imageConfirmed = true;
    m_hasStagedImage = false;
    commit();
}

void InstrumentState::describeImage(const QByteArray &image, QString *version, int *otaUsbVersion)
{
    // Images carry their own description, as the application descriptor of a real image does.
    static const QRegularExpression versionMarker(QStringLiteral("NERRA_FW_VERSION=(\\d+\\.\\d+\\.\\d+)"));
    static const QRegularExpression otaMarker(QStringLiteral("NERRA_OTA_USB=(\\d+)"));
    const QString text = QString::fromLatin1(image);
    const QRegularExpressionMatch versionMatch = versionMarker.match(text);
    const QRegularExpressionMatch otaMatch = otaMarker.match(text);
    *version = versionMatch.hasMatch() ? versionMatch.captured(1) : QStringLiteral("0.0.0");
    *otaUsbVersion = otaMatch.hasMatch() ? otaMatch.captured(1).toInt() : 1;
}

void InstrumentState::stageImage(const QByteArray &image)
{
    describeImage(image, &m_stagedFirmware.version, &m_stagedFirmware.otaUsb);
    m_hasStagedImage = true;
    commit();
}

void InstrumentState::confirmImage()
{
    if (m_imageConfirmed)
        return;
    m_imageConfirmed = true;
    m_previousFirmware = m_firmware;
    commit();
}

InstrumentState::BootOutcome InstrumentState::boot()
{
    BootOutcome outcome = BootOutcome::Normal;
    if (m_hasStagedImage) {
        if (m_imageConfirmed)
            m_previousFirmware = m_firmware;
        m_firmware = m_stagedFirmware;
        m_hasStagedImage = false;
        // Firmware from before USB updates has no confirm step and keeps itself.
        m_imageConfirmed = m_firmware.otaUsb < 1;
        if (m_imageConfirmed)
            m_previousFirmware = m_firmware;
        outcome = BootOutcome::NewImage;
    } else if (!m_imageConfirmed) {
        m_firmware = m_previousFirmware;
        m_imageConfirmed = true;
        outcome = BootOutcome::RolledBack;
    }
    if (outcome != BootOutcome::Normal)
        commit();
    return outcome;
}

QByteArray InstrumentState::readyRecord() const
{
    QJsonObject record{{QStringLiteral("id"), m_hardwareId},   {QStringLiteral("name"), m_name},
                       {QStringLiteral("sn"), m_serialNumber}, {QStringLiteral("fw"), m_firmware.version},
                       {QStringLiteral("color"), m_color},     {QStringLiteral("ssid"), m_ssid},
                       {QStringLiteral("hasCert"), hasCertificate()}};
    // Firmware from before USB updates does not know the key at all.
    if (m_firmware.otaUsb > 0)
        record.insert(QStringLiteral("otaUsb"), m_firmware.otaUsb);
    return QJsonDocument(record).toJson(QJsonDocument::Compact);
}

QByteArray InstrumentState::infoRecord() const
{
    const QJsonObject record{{QStringLiteral("name"), m_name},
                             {QStringLiteral("sn"), m_serialNumber},
                             {QStringLiteral("fw"), m_firmware.version},
                             {QStringLiteral("id"), m_hardwareId},
                             {QStringLiteral("files"), m_files.size()}};
    return QJsonDocument(record).toJson(QJsonDocument::Compact);
}
