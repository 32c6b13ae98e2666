import QtQuick 2.15
import QtQuick.Controls 2.15
import "."
import "../js/Editor.js" as Editor

// A number typed in place: shows the stored value, and hands a new one over when the user
// presses Return or leaves the field. Anything unreadable puts the stored value back.
AppTextField {
    id: field

    property real value: 0
    property int decimals: 0
    property bool allowNegative: false

    signal committed(real value)

    function formatted(v) {
        return decimals > 0 ? Number(v).toFixed(decimals) : String(Math.round(v))
    }
    function showStored() {
        text = Qt.binding(function () { return field.formatted(field.value) })
    }
    function commit() {
        var typed = Editor.parseNumber(text)
        if (!isNaN(typed) && (allowNegative || typed >= 0)) {
            var factor = Math.pow(10, decimals)
            var rounded = Math.round(typed * factor) / factor
            if (Math.abs(rounded - value) > 1e-9)
                committed(rounded)
        }
        showStored()
    }

    implicitWidth: 76
    implicitHeight: 28
    horizontalAlignment: TextInput.AlignRight
    font.pixelSize: Theme.fontBody
    text: formatted(value)
    validator: RegularExpressionValidator {
        regularExpression: field.decimals > 0 ? /^-?\d{0,5}([.,]\d{0,2})?$/ : /^-?\d{0,5}$/
    }
    onEditingFinished: commit()
    onActiveFocusChanged: if (activeFocus) selectAll()
}
