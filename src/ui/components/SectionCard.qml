import QtQuick 2.15
import "."

// A white card with a small-capitals title over its content. The content sits in a plain
// column (a layout would re-enter its wrapped texts' heights); give children
// `width: parent.width` to span the card.
Card {
    id: card

    default property alias content: column.data
    property string title: ""
    property int padding: Theme.space5

    implicitHeight: column.implicitHeight + 2 * padding

    Column {
        id: column
        x: card.padding
        y: card.padding
        width: parent.width - 2 * card.padding
        spacing: Theme.space3

        SectionLabel { text: card.title; visible: text.length > 0 }
    }
}
