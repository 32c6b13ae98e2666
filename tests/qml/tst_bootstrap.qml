import QtQuick 2.15
import QtTest 1.15
import "qrc:/ui/js/Bootstrap.js" as Bootstrap

TestCase {
    name: "Bootstrap"

    // A fixed sequence in place of Math.random, so that a failure repeats.
    function sequence(seed) {
        var state = seed
        return function () {
            state = (state * 1103515245 + 12345) % 2147483648
            return state / 2147483648
        }
    }

    // Two decks' worth of boards: no name twice until every name was given once.
    function test_deckNeverRepeatsBeforeItIsUsedUp() {
        var names = ["Ada", "Vega", "Quark", "Willow", "Crick"]
        var random = sequence(7)
        var deck = []
        var given = []
        for (var i = 0; i < 2 * names.length; ++i) {
            var next = Bootstrap.takeName(deck, names, random)
            deck = next.deck
            given.push(next.name)
        }
        compare(given.slice(0, 5).sort(), names.slice().sort())
        compare(given.slice(5).sort(), names.slice().sort())
        compare(deck.length, 0)
    }

    function test_nameGoesOnlyToABoardWithoutOne_data() {
        return [
            { tag: "flashed board without a name", pending: "Vega", device: "", give: "Vega" },
            { tag: "an instrument that has a name keeps it", pending: "Vega", device: "Bench", give: "" },
            { tag: "nothing pending", pending: "", device: "", give: "" }
        ]
    }
    function test_nameGoesOnlyToABoardWithoutOne(data) {
        compare(Bootstrap.nameToGive(data.pending, data.device), data.give)
    }
}
