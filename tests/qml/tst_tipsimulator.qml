import QtQuick 2.15
import QtTest 1.15
import "qrc:/ui/js/TipSimulator.js" as Sim

TestCase {
    name: "TipSimulator"

    function volumes(list) {
        // [[small, large], …] → [{small, large}, …]
        return list.map(function (pair) { return { small: pair[0], large: pair[1] } })
    }
    function sums(frames) {
        return frames.map(function (f) { return Math.round(f.volume * 10) / 10 })
    }
    function bandText(layers) {
        return layers.map(function (b) { return b.type + ":" + (Math.round(b.volume * 10) / 10) }).join(",")
    }

    function test_frameDuration_data() {
        return [
            { tag: "speed 1", speed: 1, ms: 5200 }, { tag: "speed 2", speed: 2, ms: 4400 },
            { tag: "speed 3", speed: 3, ms: 3600 }, { tag: "speed 4", speed: 4, ms: 2800 },
            { tag: "speed 5", speed: 5, ms: 2000 }, { tag: "speed 6", speed: 6, ms: 1200 },
            { tag: "speed 7", speed: 7, ms: 400 },
            { tag: "never below 50 ms", speed: 9, ms: 50 }
        ]
    }
    function test_frameDuration(row) {
        compare(Sim.frameDuration(row.speed), row.ms)
    }

    function test_speedForStep() {
        compare(Sim.speedForStep({ type: "aspirate", speed: 7 }), 7)
        compare(Sim.speedForStep({ type: "aspirate" }), 4)
        compare(Sim.speedForStep({ type: "tipselect", speed: 5 }), 4)
        compare(Sim.speedForStep({ type: "loop", speed: 2 }), 4)
    }

    function test_addBand() {
        var stack = Sim.addBand([], "liquid", 50)
        compare(bandText(stack), "liquid:50")
        stack = Sim.addBand(stack, "liquid", 25)
        compare(bandText(stack), "liquid:75", "same type at the bottom merges")
        stack = Sim.addBand(stack, "air", 10)
        compare(bandText(stack), "air:10,liquid:75", "other type goes underneath")
        compare(bandText(Sim.addBand(stack, "liquid", 0)), "air:10,liquid:75", "zero adds nothing")
        compare(bandText(Sim.addBand(stack, "liquid", -5)), "air:10,liquid:75", "negative adds nothing")
        compare(bandText(stack), "air:10,liquid:75", "the input is left alone")
    }

    function test_removeVolume() {
        var stack = [{ type: "air", volume: 10 }, { type: "liquid", volume: 75 }]
        compare(bandText(Sim.removeVolume(stack, 5)), "air:5,liquid:75")
        compare(bandText(Sim.removeVolume(stack, 10)), "liquid:75", "a used-up band is dropped")
        compare(bandText(Sim.removeVolume(stack, 30)), "liquid:55")
        compare(bandText(Sim.removeVolume(stack, 85)), "")
        compare(bandText(Sim.removeVolume(stack, 500)), "", "removing more than there is empties the tip")
        compare(bandText(Sim.removeVolume(stack, 10.0000005)), "liquid:75", "within the tolerance counts as used up")
        compare(Sim.removeVolume(stack, 10.0000005).length, 1)
        compare(bandText(Sim.removeVolume(stack, 0)), "air:10,liquid:75")
    }

    // [Tip Select small, Aspirate 100, Air Gap 20, Aspirate 30, Dispense 150, Purge]
    readonly property var plainSteps: [
        { type: "tipselect", tip: "small" },
        { type: "aspirate", tip: "small", speed: 5, volume: 100, extraVolume: 0 },
        { type: "airgap", tip: "small", speed: 5, volume: 20, extraVolume: 0 },
        { type: "aspirate", tip: "small", speed: 5, volume: 30, extraVolume: 0 },
        { type: "dispense", tip: "small", speed: 5, volume: 120, extraVolume: 0 },
        { type: "purge", tip: "small", speed: 5 }
    ]
    readonly property var plainVolumes: volumes([[0, 0], [100, 0], [120, 0], [150, 0], [30, 0], [0, 0]])

    function test_stackAfter() {
        compare(bandText(Sim.stackAfter(plainSteps, plainVolumes, -1, "small")), "")
        compare(bandText(Sim.stackAfter(plainSteps, plainVolumes, 1, "small")), "liquid:100")
        compare(bandText(Sim.stackAfter(plainSteps, plainVolumes, 3, "small")), "liquid:30,air:20,liquid:100")
        compare(bandText(Sim.stackAfter(plainSteps, plainVolumes, 4, "small")), "liquid:30",
                "the dispense takes the bottom bands first")
        compare(bandText(Sim.stackAfter(plainSteps, plainVolumes, 5, "small")), "")
        compare(bandText(Sim.stackAfter(plainSteps, plainVolumes, 3, "large")), "",
                "the other tip's running volume never changed")
    }

    function test_stackAfterMixAndTipSelect() {
        var steps = [
            { type: "tipselect", tip: "small" },
            { type: "aspirate", tip: "small", volume: 50, extraVolume: 0 },
            { type: "airgap", tip: "small", volume: 10, extraVolume: 0 },
            { type: "mix", tip: "small", volume: 20, cycles: 2 },
            { type: "tipselect", tip: "small" }
        ]
        var v = volumes([[0, 0], [50, 0], [60, 0], [60, 0], [60, 0]])
        compare(bandText(Sim.stackAfter(steps, v, 3, "small")), "liquid:60", "a mix leaves one liquid band")
        compare(bandText(Sim.stackAfter(steps, v, 4, "small")), "", "a tip select empties the stack")
    }

    function test_framesAspirateAndDispense() {
        var f = Sim.framesForStep(plainSteps, plainVolumes, 3)
        compare(sums(f), [120, 150])
        compare(bandText(f[0].layers), "air:20,liquid:100")
        compare(bandText(f[1].layers), "liquid:30,air:20,liquid:100")
        compare(f[0].maxVolume, 200)

        f = Sim.framesForStep(plainSteps, plainVolumes, 4)
        compare(sums(f), [150, 30])
        compare(bandText(f[1].layers), "liquid:30,air:20,liquid:100",
                "the level drains over the bands the tip held before")
        compare(sums(Sim.framesForStep(plainSteps, plainVolumes, 5)), [30, 0])
    }

    function test_framesTipSelect() {
        var f = Sim.framesForStep(plainSteps, plainVolumes, 0)
        compare(f.length, 1)
        compare(f[0].volume, 0)
        compare(f[0].layers.length, 0)
    }

    function test_framesLargeTipWhenNoTip() {
        var steps = [{ type: "purge" }]
        var f = Sim.framesForStep(steps, volumes([[0, 0]]), 0)
        compare(f[0].maxVolume, 1000)
    }

    function test_framesMix_data() {
        return [
            { tag: "two cycles", cycles: 2, expected: [50, 150, 50, 150, 50] },
            { tag: "twelve cycles animate five", cycles: 12,
              expected: [50, 150, 50, 150, 50, 150, 50, 150, 50, 150, 50] },
            { tag: "missing count is one", cycles: undefined, expected: [50, 150, 50] }
        ]
    }
    function test_framesMix(row) {
        var steps = [
            { type: "tipselect", tip: "small" },
            { type: "aspirate", tip: "small", volume: 50, extraVolume: 0 },
            { type: "mix", tip: "small", speed: 3, volume: 100, cycles: row.cycles }
        ]
        var f = Sim.framesForStep(steps, volumes([[0, 0], [50, 0], [50, 0]]), 2)
        compare(sums(f), row.expected)
        compare(bandText(f[f.length - 1].layers), "liquid:50")
    }

    function test_framesMixCappedAtCapacity() {
        var steps = [
            { type: "tipselect", tip: "small" },
            { type: "aspirate", tip: "small", volume: 150, extraVolume: 0 },
            { type: "mix", tip: "small", volume: 100, cycles: 1 }
        ]
        compare(sums(Sim.framesForStep(steps, volumes([[0, 0], [150, 0], [150, 0]]), 2)), [150, 200, 150])
    }

    function test_framesRepeat_data() {
        return [
            { tag: "three replicates", replicates: 3, dose: 50, volume: 150, expected: [0, 150, 100, 50, 0] },
            { tag: "forty replicates animate twenty and come to rest", replicates: 40, dose: 5, volume: 200,
              expected: [0, 200, 195, 190, 185, 180, 175, 170, 165, 160, 155, 150, 145, 140, 135, 130,
                         125, 120, 115, 110, 105, 100, 0] },
            { tag: "never below empty", replicates: 3, dose: 100, volume: 300, expected: [0, 200, 100, 0, 0] }
        ]
    }
    function test_framesRepeat(row) {
        var steps = [
            { type: "tipselect", tip: "small" },
            { type: "repeat", tip: "small", speed: 6, volume: row.volume, dispenseVolume: row.dose,
              replicates: row.replicates }
        ]
        var f = Sim.framesForStep(steps, volumes([[0, 0], [0, 0]]), 1)
        compare(sums(f), row.expected)
        compare(f[f.length - 1].volume, 0)
    }

    function test_framesRepeatMissingValues() {
        // 10 replicates of 10 µL when the step does not say.
        var steps = [{ type: "tipselect", tip: "large" }, { type: "repeat", tip: "large", volume: 100 }]
        var f = Sim.framesForStep(steps, volumes([[0, 0], [0, 0]]), 1)
        compare(f.length, 2 + 10)
        compare(sums(f).slice(0, 4), [0, 100, 90, 80])
    }

    function test_framesLoop_data() {
        return [
            // Body [Aspirate 10, Dispense 5]; the builder runs every iteration.
            { tag: "ten iterations animate three", iterations: 10, builderTotal: 50,
              expected: [0, 10, 5, 15, 10, 20, 15, 50], finalBands: "liquid:50" },
            { tag: "two iterations end on the simulated stack", iterations: 2, builderTotal: 10,
              expected: [0, 10, 5, 15, 10, 10], finalBands: "liquid:10" }
        ]
    }
    function test_framesLoop(row) {
        var steps = [
            { type: "tipselect", tip: "small" },
            { type: "loop", tip: "small", iterations: row.iterations, inner: [
                  { type: "aspirate", tip: "small", volume: 10, extraVolume: 0 },
                  { type: "dispense", tip: "small", volume: 5, extraVolume: 0 }] }
        ]
        var f = Sim.framesForStep(steps, volumes([[0, 0], [row.builderTotal, 0]]), 1)
        compare(sums(f), row.expected)
        compare(f[f.length - 1].volume, row.builderTotal)
        compare(bandText(f[f.length - 1].layers), row.finalBands)
    }

    function test_framesLoopInnerSteps() {
        var steps = [
            { type: "tipselect", tip: "small" },
            { type: "aspirate", tip: "small", volume: 150, extraVolume: 0 },
            { type: "loop", tip: "small", iterations: 1, inner: [
                  { type: "aspirate", tip: "small", volume: 100, extraVolume: 0 },  // only 50 fit
                  { type: "mix", tip: "small", volume: 20 },
                  { type: "repeat", tip: "small", volume: 600, dispenseVolume: 60, replicates: 10 },
                  { type: "airgap", tip: "small", volume: 5, extraVolume: 0 },
                  { type: "purge", tip: "small" },
                  { type: "tipselect", tip: "small" }] }
        ]
        var f = Sim.framesForStep(steps, volumes([[0, 0], [150, 0], [0, 0]]), 2)
        // before; aspirate to the brim; mix up and back; repeat up (already full) and four
        // drains; air gap; purge; tip select; final.
        compare(sums(f), [150, 200, 200, 200, 200, 140, 80, 20, 0, 200, 0, 0, 0])
    }

    function test_coneGeometry() {
        var small = Sim.coneGeometry(200)
        compare(small.topRadius, 2.5)
        compare(small.bottomRadius, 0.35)
        fuzzyCompare(Sim.coneVolumeAt(small, small.height), 200, 1e-9)
        var large = Sim.coneGeometry(1000)
        compare(large.topRadius, 4.0)
        compare(large.bottomRadius, 0.5)
        fuzzyCompare(Sim.coneVolumeAt(large, large.height), 1000, 1e-9)
        verify(large.height > small.height)
    }

    function test_fillHeight_data() {
        return [
            { tag: "small, quarter", volume: 50, max: 200 },
            { tag: "small, tiny", volume: 0.5, max: 200 },
            { tag: "large, half", volume: 500, max: 1000 },
            { tag: "large, nearly full", volume: 999, max: 1000 }
        ]
    }
    function test_fillHeight(row) {
        var geometry = Sim.coneGeometry(row.max)
        var h = Sim.fillHeight(row.volume, row.max)
        verify(h > 0 && h < geometry.height)
        // 50 halvings leave the height far finer than a pixel.
        fuzzyCompare(Sim.coneVolumeAt(geometry, h), row.volume, 1e-6)
    }

    function test_fillHeightBounds() {
        var g = Sim.coneGeometry(200)
        compare(Sim.fillHeight(0, 200), 0)
        compare(Sim.fillHeight(-3, 200), 0)
        compare(Sim.fillHeight(200, 200), g.height)
        compare(Sim.fillHeight(250, 200), g.height)
        // The cone widens upwards, so the first half of the volume takes more than half the height.
        verify(Sim.fillHeight(100, 200) > g.height / 2)
    }
}
