.pragma library

// The rules of flashing a blank board from the device list: when the "New Board" card
// shows and what it says, and the deck of names a freshly flashed board is given.

// Short single-word names, by theme. A fixed list: a board's name must not depend on
// anything but the deck's shuffle.
var nerraNames = [
    // Classic
    "Alice", "Ada", "Clara", "Edith", "Flora", "Grace", "Hazel", "Iris", "June", "Mabel", "Olive", "Ruth",
    "Arthur", "Felix", "Hugo", "Leo", "Oscar", "Otto", "Rufus", "Theo", "Walter", "Jasper",
    // Nature
    "Aspen", "Birch", "Cedar", "Fern", "Maple", "Moss", "Rowan", "Sage", "Juniper", "Laurel", "Reed", "Clover",
    // Modern
    "Nova", "Pixel", "Echo", "Blaze", "Zephyr", "Atlas", "Orbit", "Vector", "Sonic", "Turbo", "Flux", "Spark",
    // Explorers & Scientists
    "Curie", "Tesla", "Newton", "Galileo", "Kepler", "Faraday", "Hopper", "Lovelace", "Meitner", "Noether",
    "Amundsen", "Shackleton", "Magellan", "Earhart", "Humboldt",
    // Biology & Life Sciences
    "Ribosome", "Enzyme", "Helix", "Codon", "Plasmid", "Neuron", "Axon", "Synapse", "Mitosis", "Allele",
    "Genome", "Operon", "Vesicle", "Cilia", "Stroma",
    // Famous Biologists
    "Darwin", "Crick", "Watson", "Franklin", "Mendel", "Pasteur", "Koch", "Fleming", "McClintock", "Carson",
    "Goodall", "Linnaeus", "Wallace", "Sanger",
    // More Classic
    "Agatha", "Beatrix", "Cora", "Dora", "Elsie", "Greta", "Ida", "Lottie", "Nell", "Winnie",
    "Basil", "Cyril", "Ernest", "Percy", "Stanley",
    // Chemistry & Lab
    "Cuvette", "Beaker", "Burette", "Flask", "Pipette", "Vial", "Titrant", "Buffer", "Solute", "Catalyst",
    "Isotope", "Ion", "Polymer", "Reagent", "Eluent",
    // Astronomy
    "Vega", "Sirius", "Rigel", "Altair", "Deneb", "Lyra", "Orion", "Pulsar", "Quasar", "Nebula", "Comet",
    "Andromeda", "Cassini", "Halley",
    // Mathematics
    "Euler", "Gauss", "Riemann", "Fermat", "Pascal", "Turing", "Hilbert", "Cantor", "Fibonacci", "Ramanujan",
    "Sigma", "Vertex", "Tensor",
    // Particle Physics
    "Quark", "Gluon", "Muon", "Boson", "Photon", "Lepton", "Neutrino", "Hadron", "Pion", "Kaon",
    // Ocean & Marine
    "Nautilus", "Coral", "Marlin", "Orca", "Kelp", "Triton", "Reef", "Manta", "Narwhal", "Pearl",
    // More Nature
    "Willow", "Ivy", "Heather", "Thistle", "Bramble", "Poppy", "Daisy", "Lupin", "Tansy", "Yarrow"
]

// The card shows while a run works and after it ended, until the next run replaces it.
function cardVisible(active, state) {
    return active || state === "success" || state === "error"
}

// "done" ✓ on green, "failed" ✕ on red, "working" a pulsing dot, "" none.
function badge(state) {
    if (state === "success")
        return "done"
    if (state === "error")
        return "failed"
    if (state === "detecting" || state === "downloading" || state === "flashing")
        return "working"
    return ""
}

function progressLabel(state) {
    return state === "downloading" ? "Downloading" : (state === "flashing" ? "Flashing" : "")
}

// A line of help under a failure the user can do something about.
function hint(errorMessage) {
    if (errorMessage.indexOf("esptool not found: ") === 0)
        return "The flashing tool esptool is needed: put it in the \"tools\" folder beside Nerra Desktop, or install it (for example with pipx install esptool)."
    if (errorMessage.indexOf("Flash failed") === 0 || errorMessage === "Failed to start esptool")
        return "Check that no other program holds the pipette's port and that you may use serial ports (on Linux, the dialout group)."
    return ""
}

// A new deck: every name once, shuffled (Fisher-Yates, from the last index down to 1).
// `random` returns a number in [0, 1), as Math.random does.
function shuffledDeck(names, random) {
    var deck = names.slice()
    for (var i = deck.length - 1; i >= 1; --i) {
        var j = Math.floor(random() * (i + 1))
        var swap = deck[i]
        deck[i] = deck[j]
        deck[j] = swap
    }
    return deck
}

// { name, deck }: the next name, taken from the end of the deck, refilled when empty.
function takeName(deck, names, random) {
    var next = deck.length > 0 ? deck.slice() : shuffledDeck(names, random)
    var name = next.pop()
    return { name: name, deck: next }
}

// A freshly flashed board is named once it reports in without a name of its own.
function nameToGive(pendingName, usbDeviceName) {
    return pendingName.length > 0 && usbDeviceName.length === 0 ? pendingName : ""
}
