import QtQuick 2.15
import QtTest 1.15
import "qrc:/ui/js/Display.js" as Display

TestCase {
    name: "Display"

    function test_deviceNames() {
        compare(Display.formatDeviceName("", "SN1"), "")
        // A blank stored name is advertised as the prefix and the serial number.
        compare(Display.formatDeviceName("Nerra: SN1", "SN1"), "")
        compare(Display.formatDeviceName("Nerra: Bench A", "SN1"), "Bench A")
        compare(Display.formatDeviceName("My Nerra: X", ""), "My Nerra: X")
        compare(Display.displayDeviceName("Alice", "SN1"), "Alice")
        compare(Display.displayDeviceName("", "SN1"), "SN1")
        compare(Display.displayDeviceName(undefined, ""), "(Unnamed)")
    }

    function test_formatSwVersion() {
        compare(Display.formatSwVersion("v1.0.18-1f5e273"), "v1.0.18")
        compare(Display.formatSwVersion("v1.0.18-1f5e273-dev"), "v1.0.18-dev")
        // Five hex digits are no commit.
        compare(Display.formatSwVersion("v2.1.0-abcde"), "v2.1.0-abcde")
        compare(Display.formatSwVersion(undefined), "")
    }

    function test_formatHardwareId() {
        // Reported with its bytes reversed against the label.
        compare(Display.formatHardwareId("14a7af1d0470"), "70:04:1d:af:a7:14")
        compare(Display.formatHardwareId("14a7af1d047"), "14a7af1d047")
    }

    function test_themeColor() {
        compare(Display.themeColor(0), "#0000FF")
        compare(Display.themeColor(10), "#444444")
        // Anything but a whole index into the table gets the fallback.
        for (var index of [-1, 11, 2.5, undefined])
            compare(Display.themeColor(index), "#4caf50", "index " + index)
    }

    function test_aboutVersion() {
        compare(Display.aboutVersion("v1.5.0"), "1.5.0")
        compare(Display.aboutVersion(">1.5.0"), "1.5.0")
        compare(Display.aboutVersion("vv1.5.0"), "v1.5.0")
        compare(Display.aboutVersion(undefined), "")
    }
}
