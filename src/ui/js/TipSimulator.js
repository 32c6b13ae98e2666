.pragma library

// The tip simulator's arithmetic: which bands of liquid and air a tip holds after a step,
// the animation frames that lead there, and how high a volume stands in the conical tip.
// The volumes themselves always come from the builder's running tip volumes; nothing
// here decides whether a method is valid.
//
// A step is a plain object: {type, tip, speed, volume, extraVolume, cycles, replicates,
// dispenseVolume, iterations, inner: [steps]} (fields as they apply). Running volumes are
// a list with one {small, large} entry per top-level step, the content after that step.
// A band list runs from the tip opening upwards; index 0 touches the opening.

var SmallCapacity = 200
var LargeCapacity = 1000
var BandTolerance = 0.000001
var FinalVolumeTolerance = 0.05
var FirstFrameHoldMs = 50
var MaxMixCycles = 5
var MaxReplicates = 20
var MaxLoopIterations = 3
var MaxInnerReplicates = 4

function isSmall(tip) {
    return tip === "small"
}

function maxVolumeForTip(tip) {
    return isSmall(tip) ? SmallCapacity : LargeCapacity
}

// Speed 1 is the slowest stroke (5.2 s per frame), speed 7 the fastest (0.4 s).
function frameDuration(speed) {
    return Math.max(50, Math.round(5200 + (400 - 5200) * (speed - 1) / 6))
}

// Tip Select and Loop have no stroke of their own.
function speedForStep(step) {
    if (!step || step.type === "tipselect" || step.type === "loop")
        return 4
    if (typeof step.speed !== "number" || isNaN(step.speed))
        return 4
    return step.speed
}

function copyStack(stack) {
    var result = []
    for (var i = 0; i < stack.length; ++i)
        result.push({ type: stack[i].type, volume: stack[i].volume })
    return result
}

function stackSum(stack) {
    var sum = 0
    for (var i = 0; i < stack.length; ++i)
        sum += stack[i].volume
    return sum
}

// New content enters at the opening, so it merges with a bottom band of its own kind.
function addBand(stack, type, volume) {
    var result = copyStack(stack)
    if (!(volume > 0))
        return result
    if (result.length > 0 && result[0].type === type)
        result[0].volume += volume
    else
        result.unshift({ type: type, volume: volume })
    return result
}

// Content leaves through the opening: the bottom bands go first.
function removeVolume(stack, amount) {
    var result = copyStack(stack)
    var left = amount
    while (left > BandTolerance && result.length > 0) {
        if (result[0].volume <= left + BandTolerance) {
            left -= result[0].volume
            result.shift()
        } else {
            result[0].volume -= left
            left = 0
        }
    }
    return result
}

function tipVolume(volumes, index, tip) {
    if (index < 0 || !volumes || index >= volumes.length)
        return 0
    var entry = volumes[index]
    return isSmall(tip) ? entry.small : entry.large
}

function singleLiquid(volume) {
    return volume > 0 ? [{ type: "liquid", volume: volume }] : []
}

// The bands in the given tip after step `index`, replayed from the first step.
function stackAfter(steps, volumes, index, tip) {
    var stack = []
    for (var j = 0; j <= index && j < steps.length; ++j) {
        var after = tipVolume(volumes, j, tip)
        var change = after - tipVolume(volumes, j - 1, tip)
        switch (steps[j].type) {
        case "tipselect":
            stack = []
            break
        case "aspirate":
            stack = addBand(stack, "liquid", change)
            break
        case "airgap":
            stack = addBand(stack, "air", change)
            break
        case "dispense":
        case "purge":
            stack = removeVolume(stack, -change)
            break
        case "mix":
        case "repeat":
        case "loop":
            stack = singleLiquid(after)
            break
        }
    }
    return stack
}

function countOr(value, fallback) {
    return (typeof value === "number" && !isNaN(value)) ? value : fallback
}

function stepAmount(step) {
    return countOr(step.volume, 0) + countOr(step.extraVolume, 0)
}

// The loop body as the tip sees it, played on a copy of the stack for a few iterations.
function loopFrames(step, max, prevStack, frame) {
    var frames = []
    var sim = copyStack(prevStack)
    var iterations = Math.min(MaxLoopIterations, countOr(step.iterations, 1))
    var inner = step.inner || []
    for (var it = 0; it < iterations; ++it) {
        for (var k = 0; k < inner.length; ++k) {
            var s = inner[k]
            var level = stackSum(sim)
            var before = sim
            switch (s.type) {
            case "aspirate":
            case "airgap":
                sim = addBand(sim, s.type === "airgap" ? "air" : "liquid",
                              Math.min(stepAmount(s), max - level))
                frames.push(frame(stackSum(sim), sim))
                break
            case "dispense":
                sim = removeVolume(sim, stepAmount(s))
                frames.push(frame(stackSum(sim), before))
                break
            case "purge":
                sim = []
                frames.push(frame(0, before))
                break
            case "mix": {
                var mixTop = Math.min(level + countOr(s.volume, 0), max)
                var mixLayers = addBand(sim, "liquid", mixTop - level)
                frames.push(frame(mixTop, mixLayers))
                frames.push(frame(level, mixLayers))
                break
            }
            case "repeat": {
                var top = Math.min(level + countOr(s.volume, 0), max)
                var upLayers = addBand(sim, "liquid", top - level)
                frames.push(frame(top, upLayers))
                var drains = Math.min(MaxInnerReplicates, countOr(s.replicates, MaxInnerReplicates))
                var dose = countOr(s.dispenseVolume, 100)
                var current = top
                for (var r = 0; r < drains; ++r) {
                    current = Math.max(0, current - dose)
                    frames.push(frame(current, upLayers))
                }
                break
            }
            case "tipselect":
                sim = []
                frames.push(frame(0, sim))
                break
            }
        }
    }
    return { frames: frames, stack: sim }
}

// The animation of step `index`: a list of {maxVolume, volume, layers}. The last frame
// always shows what the tip holds after the step.
function framesForStep(steps, volumes, index) {
    if (index < 0 || index >= steps.length)
        return []
    var step = steps[index]
    var tip = step.tip ? step.tip : "large"
    var max = maxVolumeForTip(tip)
    var prev = tipVolume(volumes, index - 1, tip)
    var total = tipVolume(volumes, index, tip)
    var prevStack = stackAfter(steps, volumes, index - 1, tip)
    var newStack = stackAfter(steps, volumes, index, tip)
    function frame(volume, layers) {
        return { maxVolume: max, volume: volume, layers: copyStack(layers) }
    }
    var frames = []

    switch (step.type) {
    case "tipselect":
        frames.push(frame(0, []))
        break
    case "aspirate":
    case "airgap":
        frames.push(frame(prev, prevStack))
        frames.push(frame(total, newStack))
        break
    case "dispense":
    case "purge":
        frames.push(frame(prev, prevStack))
        frames.push(frame(total, prevStack))
        break
    case "mix": {
        frames.push(frame(prev, prevStack))
        var cycles = Math.min(MaxMixCycles, countOr(step.cycles, 1))
        var top = Math.min(prev + countOr(step.volume, 0), max)
        var mixLayers = addBand(prevStack, "liquid", top - prev)
        for (var c = 0; c < cycles; ++c) {
            frames.push(frame(top, mixLayers))
            if (c === cycles - 1)
                frames.push(frame(total, newStack))
            else
                frames.push(frame(prev, mixLayers))
        }
        break
    }
    case "repeat": {
        frames.push(frame(prev, prevStack))
        var up = Math.min(prev + countOr(step.volume, 0), max)
        var upLayers = addBand(prevStack, "liquid", up - prev)
        frames.push(frame(up, upLayers))
        var replicates = Math.min(MaxReplicates, countOr(step.replicates, 10))
        var dose = countOr(step.dispenseVolume, 10)
        var level = up
        for (var r = 0; r < replicates; ++r) {
            level = Math.max(0, level - dose)
            frames.push(frame(level, upLayers))
        }
        break
    }
    case "loop": {
        frames.push(frame(prev, prevStack))
        var played = loopFrames(step, max, prevStack, frame)
        frames = frames.concat(played.frames)
        if (Math.abs(stackSum(played.stack) - total) <= FinalVolumeTolerance)
            frames.push(frame(total, played.stack))
        else
            frames.push(frame(total, singleLiquid(total)))
        break
    }
    default:
        frames.push(frame(total, newStack))
        break
    }

    // A shortened animation (replicates beyond the cap) must still come to rest on what
    // the tip really holds after the step.
    var last = frames[frames.length - 1]
    if (Math.abs(last.volume - total) > FinalVolumeTolerance)
        frames.push(frame(total, newStack))
    return frames
}

// The tip is a truncated cone whose volume at full height is its capacity (1 µL = 1 mm³).
function coneGeometry(maxVolume) {
    var top = maxVolume <= SmallCapacity ? 2.5 : 4.0
    var bottom = maxVolume <= SmallCapacity ? 0.35 : 0.5
    var height = 3 * maxVolume / (Math.PI * (top * top + top * bottom + bottom * bottom))
    return { topRadius: top, bottomRadius: bottom, height: height }
}

function radiusAt(geometry, h) {
    return geometry.bottomRadius + (geometry.topRadius - geometry.bottomRadius) * h / geometry.height
}

function coneVolumeAt(geometry, h) {
    var r = geometry.bottomRadius
    var rh = radiusAt(geometry, h)
    return Math.PI * h / 3 * (r * r + r * rh + rh * rh)
}

// Height (mm above the opening) at which `volume` stands in the tip.
function fillHeight(volume, maxVolume) {
    var geometry = coneGeometry(maxVolume)
    if (!(volume > 0))
        return 0
    if (volume >= maxVolume)
        return geometry.height
    var low = 0
    var high = geometry.height
    for (var i = 0; i < 50; ++i) {
        var mid = (low + high) / 2
        if (coneVolumeAt(geometry, mid) < volume)
            low = mid
        else
            high = mid
    }
    return (low + high) / 2
}
