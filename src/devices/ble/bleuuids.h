#pragma once

#include <QBluetoothUuid>

// The instrument's GATT layout.
namespace BleUuids {

inline QBluetoothUuid instrumentService() { return QBluetoothUuid(QStringLiteral("{6e400001-b5a3-f393-e0a9-e50e24dcca9e}")); }
inline QBluetoothUuid dataCharacteristic() { return QBluetoothUuid(QStringLiteral("{6e400002-b5a3-f393-e0a9-e50e24dcca9e}")); }
inline QBluetoothUuid colorCharacteristic() { return QBluetoothUuid(QStringLiteral("{6e400003-b5a3-f393-e0a9-e50e24dcca9e}")); }
inline QBluetoothUuid commandCharacteristic() { return QBluetoothUuid(QStringLiteral("{6e400004-b5a3-f393-e0a9-e50e24dcca9e}")); }
inline QBluetoothUuid ssidCharacteristic() { return QBluetoothUuid(QStringLiteral("{6e400005-b5a3-f393-e0a9-e50e24dcca9e}")); }
inline QBluetoothUuid hardwareIdCharacteristic() { return QBluetoothUuid(QStringLiteral("{6e400006-b5a3-f393-e0a9-e50e24dcca9e}")); }
// Client characteristic configuration: "0100" turns notifications on.
inline QBluetoothUuid notifyDescriptor() { return QBluetoothUuid(quint16(0x2902)); }
inline QByteArray notifyOn() { return QByteArray::fromHex("0100"); }

// Device Information Service and the four characteristics read from it, in reading order.
inline QBluetoothUuid informationService() { return QBluetoothUuid(quint16(0x180A)); }
inline QBluetoothUuid modelNumber() { return QBluetoothUuid(quint16(0x2A24)); }
inline QBluetoothUuid serialNumber() { return QBluetoothUuid(quint16(0x2A25)); }
inline QBluetoothUuid firmwareRevision() { return QBluetoothUuid(quint16(0x2A26)); }
inline QBluetoothUuid manufacturerName() { return QBluetoothUuid(quint16(0x2A29)); }

} // namespace BleUuids
