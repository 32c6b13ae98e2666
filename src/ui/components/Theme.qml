pragma Singleton
import QtQuick 2.15

// One palette, one type scale and one spacing scale for every page, panel and dialog.
QtObject {
    readonly property string fontFamily: "Segoe UI"
    readonly property string monoFamily: "DejaVu Sans Mono"

    // Surfaces
    readonly property color window: "#f3f5f8"
    readonly property color surface: "#ffffff"
    readonly property color surfaceAlt: "#f8f9fb"
    readonly property color sunken: "#eef1f5"
    readonly property color border: "#e1e5eb"
    readonly property color borderStrong: "#cfd5de"
    readonly property color divider: "#edf0f4"

    // Text
    readonly property color text: "#1c2430"
    readonly property color textSecondary: "#4a5565"
    readonly property color textMuted: "#6b7585"
    readonly property color textFaint: "#9aa3b1"
    readonly property color textOnAccent: "#ffffff"

    // Accent and states
    readonly property color accent: "#2f6fed"
    readonly property color accentHover: "#255fd4"
    readonly property color accentPressed: "#1f51b6"
    readonly property color accentSoft: "#eaf1fe"
    readonly property color accentSoftBorder: "#c9dafc"
    readonly property color success: "#15924a"
    readonly property color successSoft: "#e6f6ec"
    readonly property color danger: "#d93636"
    readonly property color dangerHover: "#bf2a2a"
    readonly property color dangerSoft: "#fdeced"
    readonly property color warning: "#e07b12"
    readonly property color warningHover: "#c2410c"
    readonly property color warningSoft: "#fff3e3"
    readonly property color toastSuccess: "#16803f"
    readonly property color toastFailure: "#c62f2f"

    // The tip simulator's contents
    readonly property color liquid: "#3c8df0"
    readonly property color liquidDeep: "#2a6fd0"
    readonly property color air: "#dfe8f3"
    readonly property color tipWall: "#8592a3"

    // Step kinds, so a step reads the same in the Add Step column and the list
    function stepColor(type) {
        switch (type) {
        case "tipselect": return "#6b7585"
        case "aspirate": return "#2f6fed"
        case "airgap": return "#0ea5b7"
        case "dispense": return "#15924a"
        case "purge": return "#d97706"
        case "mix": return "#7c4ddb"
        case "repeat": return "#db4d8a"
        case "loop": return "#475569"
        }
        return "#6b7585"
    }
    function stepGlyph(type) {
        switch (type) {
        case "tipselect": return "▾"
        case "aspirate": return "↑"
        case "airgap": return "○"
        case "dispense": return "↓"
        case "purge": return "⇊"
        case "mix": return "⇅"
        case "repeat": return "⋮"
        case "loop": return "↻"
        }
        return "•"
    }

    // Type scale (pixels)
    readonly property int fontCaption: 11
    readonly property int fontSmall: 12
    readonly property int fontBody: 13
    readonly property int fontLarge: 15
    readonly property int fontTitle: 18
    readonly property int fontHeading: 22

    // Spacing and shape
    readonly property int space1: 4
    readonly property int space2: 8
    readonly property int space3: 12
    readonly property int space4: 16
    readonly property int space5: 24
    readonly property int space6: 32
    readonly property int radius: 8
    readonly property int radiusSmall: 6
    readonly property int controlHeight: 32
    readonly property int headerHeight: 60
}
