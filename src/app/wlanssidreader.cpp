#include "app/wlanssidreader.h"

#ifdef Q_OS_WIN

#include <QLibrary>

#include <windows.h>
#include <wlanapi.h>

namespace {

constexpr DWORD WlanClientVersion = 2;

} // namespace

QString WlanSsidReader::currentSsid()
{
    QLibrary wlan(QStringLiteral("wlanapi.dll"));
    const auto openHandle = reinterpret_cast<decltype(&WlanOpenHandle)>(wlan.resolve("WlanOpenHandle"));
    const auto enumInterfaces =
        reinterpret_cast<decltype(&WlanEnumInterfaces)>(wlan.resolve("WlanEnumInterfaces"));
    const auto queryInterface =
        reinterpret_cast<decltype(&WlanQueryInterface)>(wlan.resolve("WlanQueryInterface"));
    const auto freeMemory = reinterpret_cast<decltype(&WlanFreeMemory)>(wlan.resolve("WlanFreeMemory"));
    const auto closeHandle = reinterpret_cast<decltype(&WlanCloseHandle)>(wlan.resolve("WlanCloseHandle"));
    if (!openHandle || !enumInterfaces || !queryInterface || !freeMemory || !closeHandle)
        return QString();

    DWORD negotiatedVersion = 0;
    HANDLE client = nullptr;
    if (openHandle(WlanClientVersion, nullptr, &negotiatedVersion, &client) != ERROR_SUCCESS)
        return QString();

    QString ssid;
    PWLAN_INTERFACE_INFO_LIST interfaces = nullptr;
    if (enumInterfaces(client, nullptr, &interfaces) == ERROR_SUCCESS && interfaces) {
        for (DWORD i = 0; i < interfaces->dwNumberOfItems && ssid.isEmpty(); ++i) {
            DWORD size = 0;
            PVOID data = nullptr;
            if (queryInterface(client, &interfaces->InterfaceInfo[i].InterfaceGuid,
                               wlan_intf_opcode_current_connection, nullptr, &size, &data,
                               nullptr) != ERROR_SUCCESS
                || !data)
                continue;
            const auto *connection = static_cast<const WLAN_CONNECTION_ATTRIBUTES *>(data);
            const DOT11_SSID &dot11 = connection->wlanAssociationAttributes.dot11Ssid;
            // The stated length is not to be trusted beyond the buffer it describes.
            const ULONG length = dot11.uSSIDLength < DOT11_SSID_MAX_LENGTH ? dot11.uSSIDLength
                                                                          : DOT11_SSID_MAX_LENGTH;
            ssid = QString::fromUtf8(reinterpret_cast<const char *>(dot11.ucSSID), int(length));
            freeMemory(data);
        }
        freeMemory(interfaces);
    }
    closeHandle(client, nullptr);
    return ssid;
}

#else

QString WlanSsidReader::currentSsid()
{
    return QString();
}

#endif
