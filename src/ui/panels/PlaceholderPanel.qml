import QtQuick 2.15
import "../components"

// A device sub-tab whose own panel has not been built into this version yet.
Item {
    property alias glyph: state.glyph
    property alias title: state.title
    property alias message: state.message

    EmptyState {
        id: state
        anchors.centerIn: parent
        anchors.verticalCenterOffset: -40
    }
}
