#pragma once

#include <QString>

// The name of the Wi-Fi network this computer is associated with, asked of the Windows
// WLAN API, which is loaded at run time so that a system without it still starts.
class WlanSsidReader
{
public:
    // Empty without Wi-Fi, when not associated, and on any failure of the API; always
    // empty where the API does not exist.
    static QString currentSsid();
};
