#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

// What the instrument's command text looks like, whichever link carries it: the command
// lines, what may go into them, and how replies are read. Pure functions, shared by the
// USB link and the Bluetooth LE command channel.
namespace InstrumentProtocol {

// The instrument holds eight calibration coefficients, indices 0 to 7.
constexpr int MaxCoefficientIndex = 7;

bool hasControlCharacters(const QString &text);
QString withoutControlCharacters(const QString &text);

// A name goes into a command line as it is: a line feed in it would end that line early
// and turn the rest into a second command, and on the instrument a name with a separator,
// or "." or "..", is a path.
bool isSendableName(const QString &name);
// A preference key ends at the first colon on the instrument's side.
bool isSendableKey(const QString &key);
// A body line the instrument would not store as part of the file: the handshake escape
// resets its session, and a line starting "END:" ends the body early.
bool isSendableBody(const QByteArray &data);

// [{"index": i, "value": v}, ...] as a write queue; false for any malformed entry (which
// would otherwise overwrite coefficient 0 with 0).
// `badEntry` receives the first malformed entry.
bool coefficientQueue(const QVariantList &pairs, QList<QPair<int, float>> *queue, QVariant *badEntry = nullptr);
QString setCalibrationLine(int index, float value);
QString setPreferenceLine(const QString &key, const QString &value);

// The key an "OK:SET_PREF:<key>" reply names; empty when it names none.
QString preferenceReplyKey(const QString &line);
// The reason of an "ERR:<reason>" reply.
QString errorReason(const QString &line);
// A reply's JSON record; empty when it is not an object.
QVariantMap parseObject(const QString &text);

// The Wi-Fi password travels in its preference write and in the preferences record. The
// log can be exported and sent around, so the value never shows there.
QString maskedForLog(const QString &line);

} // namespace InstrumentProtocol
