import QtQuick 2.15
import QtTest 1.15
import "qrc:/ui/js/Display.js" as Display

TestCase {
    name: "Display"

    function test_formatDeviceName_data() {
        return [
            { tag: "empty name", name: "", sn: "SN1", expected: "" },
            { tag: "blank stored name advertised with serial", name: "Nerra: SN1", sn: "SN1", expected: "" },
            { tag: "prefix stripped", name: "Nerra: Bench A", sn: "SN1", expected: "Bench A" },
            { tag: "prefix stripped without serial", name: "Nerra: SN1", sn: "", expected: "SN1" },
            { tag: "other serial keeps name", name: "Nerra: SN2", sn: "SN1", expected: "SN2" },
            { tag: "plain name", name: "Alice", sn: "SN1", expected: "Alice" },
            { tag: "prefix only in the middle", name: "My Nerra: X", sn: "", expected: "My Nerra: X" },
            { tag: "prefix without space", name: "Nerra:X", sn: "", expected: "Nerra:X" }
        ]
    }
    function test_formatDeviceName(row) {
        compare(Display.formatDeviceName(row.name, row.sn), row.expected)
    }

    function test_displayDeviceName_data() {
        return [
            { tag: "name wins", name: "Alice", sn: "SN1", expected: "Alice" },
            { tag: "serial when unnamed", name: "", sn: "SN1", expected: "SN1" },
            { tag: "neither", name: "", sn: "", expected: "(Unnamed)" },
            { tag: "undefined", name: undefined, sn: undefined, expected: "(Unnamed)" }
        ]
    }
    function test_displayDeviceName(row) {
        compare(Display.displayDeviceName(row.name, row.sn), row.expected)
    }

    function test_formatSwVersion_data() {
        return [
            { tag: "release with commit", ver: "v1.0.18-1f5e273", expected: "v1.0.18" },
            { tag: "dev build keeps -dev", ver: "v1.0.18-1f5e273-dev", expected: "v1.0.18-dev" },
            { tag: "six digits", ver: "v2.1.0-abcdef", expected: "v2.1.0" },
            { tag: "eight digits", ver: "v2.1.0-abcdef01", expected: "v2.1.0" },
            { tag: "five digits stay", ver: "v2.1.0-abcde", expected: "v2.1.0-abcde" },
            { tag: "nine digits stay", ver: "v2.1.0-abcdef012", expected: "v2.1.0-abcdef012" },
            { tag: "upper-case hex stays", ver: "v2.1.0-ABCDEF0", expected: "v2.1.0-ABCDEF0" },
            { tag: "plain version", ver: "v1.0.18", expected: "v1.0.18" },
            { tag: "plain dev", ver: "v1.0.18-dev", expected: "v1.0.18-dev" },
            { tag: "commit not at the end stays", ver: "v1.0-1f5e273-rc1", expected: "v1.0-1f5e273-rc1" },
            { tag: "empty", ver: "", expected: "" }
        ]
    }
    function test_formatSwVersion(row) {
        compare(Display.formatSwVersion(row.ver), row.expected)
    }

    function test_formatHardwareId_data() {
        return [
            { tag: "twelve characters", id: "14a7af1d0470", expected: "70:04:1d:af:a7:14" },
            { tag: "eleven unchanged", id: "14a7af1d047", expected: "14a7af1d047" },
            { tag: "thirteen unchanged", id: "14a7af1d04701", expected: "14a7af1d04701" },
            { tag: "empty unchanged", id: "", expected: "" }
        ]
    }
    function test_formatHardwareId(row) {
        compare(Display.formatHardwareId(row.id), row.expected)
    }

    function test_themeColor_data() {
        var colours = ["#0000FF", "#E10000", "#FA7A00", "#FAC400", "#00A855", "#006420",
                       "#0AA3E2", "#6C249B", "#FF3482", "#61656A", "#444444"]
        var rows = []
        for (var i = 0; i < colours.length; ++i)
            rows.push({ tag: "index " + i, index: i, expected: colours[i] })
        rows.push({ tag: "index -1", index: -1, expected: "#4caf50" })
        rows.push({ tag: "index 11", index: 11, expected: "#4caf50" })
        rows.push({ tag: "fractional index", index: 2.5, expected: "#4caf50" })
        rows.push({ tag: "missing index", index: undefined, expected: "#4caf50" })
        return rows
    }
    function test_themeColor(row) {
        compare(Display.themeColor(row.index), row.expected)
    }

    function test_aboutVersion_data() {
        return [
            { tag: "leading v", v: "v1.5.0", expected: "1.5.0" },
            { tag: "leading >", v: ">1.5.0", expected: "1.5.0" },
            { tag: "only one removed", v: "vv1.5.0", expected: "v1.5.0" },
            { tag: "bare", v: "1.5.0", expected: "1.5.0" }
        ]
    }
    function test_aboutVersion(row) {
        compare(Display.aboutVersion(row.v), row.expected)
    }
}
