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

    function test_formatSwVersion_data() {
        return [
            { tag: "release with commit", ver: "v1.0.18-1f5e273", expected: "v1.0.18" },
            { tag: "dev build keeps -dev", ver: "v1.0.18-1f5e273-dev", expected: "v1.0.18-dev" },
            { tag: "five hex digits are no commit", ver: "v2.1.0-abcde", expected: "v2.1.0-abcde" },
            { tag: "nine hex digits are no commit", ver: "v2.1.0-abcdef012", expected: "v2.1.0-abcdef012" },
            { tag: "commit not at the end", ver: "v1.0-1f5e273-rc1", expected: "v1.0-1f5e273-rc1" },
            { tag: "empty", ver: undefined, expected: "" }
        ]
    }
    function test_formatSwVersion(row) {
        compare(Display.formatSwVersion(row.ver), row.expected)
    }

    function test_formatHardwareId() {
        // Reported with its bytes reversed against the label.
        compare(Display.formatHardwareId("14a7af1d0470"), "70:04:1d:af:a7:14")
        compare(Display.formatHardwareId("14a7af1d047"), "14a7af1d047")
    }

    function test_themeColor_data() {
        return [
            { tag: "first", index: 0, expected: "#0000FF" }, { tag: "last", index: 10, expected: "#444444" },
            { tag: "below", index: -1, expected: "#4caf50" }, { tag: "above", index: 11, expected: "#4caf50" },
            { tag: "fractional", index: 2.5, expected: "#4caf50" }, { tag: "missing", index: undefined, expected: "#4caf50" }
        ]
    }
    function test_themeColor(row) {
        compare(Display.themeColor(row.index), row.expected)
    }

    function test_aboutVersion() {
        compare(Display.aboutVersion("v1.5.0"), "1.5.0")
        compare(Display.aboutVersion(">1.5.0"), "1.5.0")
        compare(Display.aboutVersion("vv1.5.0"), "v1.5.0")
        compare(Display.aboutVersion(undefined), "")
    }
}
