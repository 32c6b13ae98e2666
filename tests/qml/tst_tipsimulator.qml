import QtQuick 2.15
import QtTest 1.15
import "qrc:/ui/js/TipSimulator.js" as Sim

TestCase {
    name: "TipSimulator"

    // [[small, large], …] → [{small, large}, …]
    function volumes(list) {
        return list.map(function (pair) { return { small: pair[0], large: pair[1] } })
    }
    function sums(frames) {
        return frames.map(function (f) { return Math.round(f.volume * 10) / 10 })
    }
    function bands(layers) {
        return layers.map(function (b) { return b.type + ":" + (Math.round(b.volume * 10) / 10) }).join(",")
    }
    function small(type, volume, more) {
        var step = { type: type, tip: "small", speed: 5, volume: volume, extraVolume: 0 }
        for (var key in more)
            step[key] = more[key]
        return step
    }

    function test_bands() {
        var stack = Sim.addBand(Sim.addBand([], "liquid", 50), "liquid", 25)
        compare(bands(stack), "liquid:75", "same type at the opening merges")
        stack = Sim.addBand(stack, "air", 10)
        compare(bands(stack), "air:10,liquid:75")
        compare(bands(Sim.addBand(stack, "liquid", -5)), "air:10,liquid:75", "nothing added")
        compare(bands(Sim.removeVolume(stack, 5)), "air:5,liquid:75")
        compare(bands(Sim.removeVolume(stack, 30)), "liquid:55", "the bottom bands go first")
        compare(bands(Sim.removeVolume(stack, 500)), "")
        compare(Sim.removeVolume(stack, 10.0000005).length, 1, "within the tolerance a band is used up")
        compare(bands(stack), "air:10,liquid:75", "the input is left alone")
    }

    // Tip Select, Aspirate 100, Air Gap 20, Aspirate 30, Dispense 120, Purge.
    readonly property var plainSteps: [{ type: "tipselect", tip: "small" }, small("aspirate", 100), small("airgap", 20),
        small("aspirate", 30), small("dispense", 120), { type: "purge", tip: "small", speed: 5 }]
    readonly property var plainVolumes: volumes([[0, 0], [100, 0], [120, 0], [150, 0], [30, 0], [0, 0]])

    function test_stackAfter() {
        compare(bands(Sim.stackAfter(plainSteps, plainVolumes, 3, "small")), "liquid:30,air:20,liquid:100")
        compare(bands(Sim.stackAfter(plainSteps, plainVolumes, 4, "small")), "liquid:30")
        compare(bands(Sim.stackAfter(plainSteps, plainVolumes, 5, "small")), "")
        compare(bands(Sim.stackAfter(plainSteps, plainVolumes, 3, "large")), "", "the other tip never changed")
        var steps = [plainSteps[0], small("aspirate", 50), small("airgap", 10), small("mix", 20, { cycles: 2 }), plainSteps[0]]
        var v = volumes([[0, 0], [50, 0], [60, 0], [60, 0], [60, 0]])
        compare(bands(Sim.stackAfter(steps, v, 3, "small")), "liquid:60", "a mix leaves one band")
        compare(bands(Sim.stackAfter(steps, v, 4, "small")), "", "a tip select empties the tip")
    }

    function test_framesOfSimpleSteps() {
        var f = Sim.framesForStep(plainSteps, plainVolumes, 3)
        compare(sums(f), [120, 150])
        compare(bands(f[1].layers), "liquid:30,air:20,liquid:100")
        compare(f[0].maxVolume, 200)
        f = Sim.framesForStep(plainSteps, plainVolumes, 4)
        compare(sums(f), [150, 30])
        compare(bands(f[1].layers), "liquid:30,air:20,liquid:100", "draining over the bands held before")
        compare(sums(Sim.framesForStep(plainSteps, plainVolumes, 0)), [0])
        compare(Sim.framesForStep([{ type: "purge" }], volumes([[0, 0]]), 0)[0].maxVolume, 1000, "no tip: the large one")
    }

    function test_framesMix_data() {
        return [
            { tag: "two cycles", cycles: 2, held: 50, expected: [50, 150, 50, 150, 50] },
            { tag: "twelve cycles animate five", cycles: 12, held: 50, expected: [50, 150, 50, 150, 50, 150, 50, 150, 50, 150, 50] },
            { tag: "missing count is one", cycles: undefined, held: 50, expected: [50, 150, 50] },
            { tag: "capped at capacity", cycles: 1, held: 150, expected: [150, 200, 150] }
        ]
    }
    function test_framesMix(row) {
        var steps = [plainSteps[0], small("aspirate", row.held), small("mix", 100, { cycles: row.cycles })]
        var f = Sim.framesForStep(steps, volumes([[0, 0], [row.held, 0], [row.held, 0]]), 2)
        compare(sums(f), row.expected)
        compare(bands(f[f.length - 1].layers), "liquid:" + row.held)
    }

    function test_framesRepeat_data() {
        return [
            { tag: "three replicates", replicates: 3, dose: 50, volume: 150, expected: [0, 150, 100, 50, 0] },
            { tag: "forty replicates animate twenty and come to rest", replicates: 40, dose: 5, volume: 200,
              expected: [0, 200, 195, 190, 185, 180, 175, 170, 165, 160, 155, 150, 145, 140, 135, 130,
                         125, 120, 115, 110, 105, 100, 0] },
            { tag: "never below empty", replicates: 3, dose: 100, volume: 300, expected: [0, 200, 100, 0, 0] },
            { tag: "ten of 10 µL when the step does not say", volume: 100, expected: [0, 100, 90, 80, 70, 60, 50, 40, 30, 20, 10, 0] }
        ]
    }
    function test_framesRepeat(row) {
        var steps = [plainSteps[0], small("repeat", row.volume, { dispenseVolume: row.dose, replicates: row.replicates })]
        var f = Sim.framesForStep(steps, volumes([[0, 0], [0, 0]]), 1)
        compare(sums(f), row.expected)
    }

    function test_framesLoop_data() {
        return [
            // Body [Aspirate 10, Dispense 5]; the builder runs every iteration.
            { tag: "ten iterations animate three and end on the builder's volume", iterations: 10, builderTotal: 50,
              expected: [0, 10, 5, 15, 10, 20, 15, 50], finalBands: "liquid:50" },
            { tag: "two iterations end on the simulated stack", iterations: 2, builderTotal: 10, expected: [0, 10, 5, 15, 10, 10], finalBands: "liquid:10" }
        ]
    }
    function test_framesLoop(row) {
        var steps = [plainSteps[0], { type: "loop", tip: "small", iterations: row.iterations,
                                      inner: [small("aspirate", 10), small("dispense", 5)] }]
        var f = Sim.framesForStep(steps, volumes([[0, 0], [row.builderTotal, 0]]), 1)
        compare(sums(f), row.expected)
        compare(bands(f[f.length - 1].layers), row.finalBands)
    }

    function test_framesLoopInnerSteps() {
        var steps = [plainSteps[0], small("aspirate", 150), { type: "loop", tip: "small", iterations: 1, inner: [
            small("aspirate", 100), small("mix", 20), small("repeat", 600, { dispenseVolume: 60, replicates: 10 }),
            small("airgap", 5), { type: "purge", tip: "small" }, { type: "tipselect", tip: "small" }] }]
        // before; aspirate to the brim (only 50 fit); mix up and back; repeat up and four
        // drains; air gap; purge; tip select; final.
        compare(sums(Sim.framesForStep(steps, volumes([[0, 0], [150, 0], [0, 0]]), 2)),
                [150, 200, 200, 200, 200, 140, 80, 20, 0, 200, 0, 0, 0])
    }
}
