#!/usr/bin/python3
"""Reference timings for bench/README.md: the built-in sample drawn by a widely used
visualization toolkit's GPU ray-cast mapper or its CPU (fixed-point, space-leaping)
mapper, offscreen under the same X server, set up to draw what voxview-bench draws:
the same camera and orbit, the same sample distance along the view, the same window,
colours, opacity per length and lighting.

usage: reference_vtk.py RAW_FILE --mapper gpu|cpu [--size W H] [--frames N] [--json FILE]
                        [--png FILE]
The volume is 512 x 512 x 463 unsigned 16-bit little-endian, spacing 0.625 x 0.625 x 1.0.
"""
import argparse
import json
import math
import os
import resource
import statistics
import time

import numpy
# Only the toolkit's modules a volume rendering needs: start-up counts from the kernel's
# start of the process, so it includes loading them, as voxview's includes its libraries.
import vtkmodules.vtkRenderingOpenGL2  # noqa: F401,E402  (the OpenGL render window)
import vtkmodules.vtkRenderingVolumeOpenGL2  # noqa: F401,E402  (the GPU mapper's implementation)
from vtkmodules.util.numpy_support import numpy_to_vtk  # noqa: E402
from vtkmodules.vtkCommonCore import VTK_UNSIGNED_SHORT  # noqa: E402
from vtkmodules.vtkCommonDataModel import vtkImageData, vtkPiecewiseFunction  # noqa: E402
from vtkmodules.vtkIOImage import vtkPNGWriter  # noqa: E402
from vtkmodules.vtkRenderingCore import (  # noqa: E402
    vtkColorTransferFunction,
    vtkLight,
    vtkRenderer,
    vtkRenderWindow,
    vtkVolume,
    vtkVolumeProperty,
    vtkWindowToImageFilter,
)
from vtkmodules.vtkRenderingVolume import (  # noqa: E402
    vtkFixedPointVolumeRayCastMapper,
    vtkGPUVolumeRayCastMapper,
)

SPACING = (0.625, 0.625, 1.0)

# voxview's start-up window, in sample units, and its warm colour lookup: dark red at the
# window's floor, orange at its level, ivory at its top.
WINDOW_LEVEL = 738.0
WINDOW_WIDTH = 1384.0
DARK_RED = (0.40, 0.05, 0.03)
ORANGE = (0.95, 0.50, 0.15)
IVORY = (1.00, 0.96, 0.86)
# voxview's extinction: DENSITY × intensity² per longest side of the volume, where the
# intensity is the windowed sample (0 at the floor, 1 at the top). Points along the
# window at which the opacity curve is given to the toolkit (linear in between).
DENSITY = 650.0
OPACITY_POINTS = 32
# voxview's light: a headlight, a quarter ambient, the rest diffuse (both sides of a
# surface), no highlight.
AMBIENT = 0.25
DIFFUSE = 0.75

# voxview's camera at start: vertical view angle 0.785 rad, on the side of the first
# slice (−z) at twice the volume's longest side from its centre, looking at the centre,
# y up.
VIEW_ANGLE = 0.785
CAMERA_DISTANCE = 2.0
# voxview-bench's orbit: the turn angle about y falls by 0.035 rad before every frame
# (the first included) and swings back before it would reach ±1.57.
TURN_PER_FRAME = 0.035
TURN_BOUND = 1.57


def ms_since_process_start():
    """Milliseconds since the kernel started this process, interpreter start-up included,
    read as voxview-bench reads its own (10 ms resolution)."""
    with open("/proc/self/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    start_ticks = int(fields[22 - 3])
    now = time.clock_gettime(time.CLOCK_BOOTTIME)
    return (now - start_ticks / os.sysconf("SC_CLK_TCK")) * 1000.0


def cpu_ms():
    """Processor time of all threads so far, as voxview-bench's median_cpu_ms counts it."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return (usage.ru_utime + usage.ru_stime) * 1000.0


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def orbit_angles(frames):
    """The turn angle of each frame, as voxview-bench's orbit steps it."""
    angle, turn = 0.0, TURN_PER_FRAME
    for _ in range(frames):
        if abs(angle - turn) >= TURN_BOUND:
            turn = -turn
        angle -= turn
        yield angle


def voxel_step_mm(direction, extents, voxels):
    """voxview's step along a ray in `direction` (a unit vector in millimetres): one
    longest-axis voxel count's share of the volume's texture cube, which spans `extents`."""
    texture_length = math.sqrt(sum((d / e) ** 2 for d, e in zip(direction, extents)))
    return 1.0 / max(voxels) / texture_length


def read_volume(path, voxels):
    """The raw file as image data, its first row row 0 as voxview uploads it. Read in one
    piece: the toolkit's raw reader takes several times as long for the same bytes."""
    samples = numpy.fromfile(path, dtype="<u2", count=math.prod(voxels))
    if samples.size != math.prod(voxels):
        raise SystemExit(f"{path}: {samples.size} samples, not {' x '.join(map(str, voxels))}")
    image = vtkImageData()
    image.SetDimensions(*voxels)
    image.SetSpacing(*SPACING)
    # Shares the samples' memory (and keeps them alive) instead of copying them.
    image.GetPointData().SetScalars(numpy_to_vtk(samples, deep=False, array_type=VTK_UNSIGNED_SHORT))
    return image


def volume_property(longest_side_mm):
    low = WINDOW_LEVEL - WINDOW_WIDTH / 2
    high = WINDOW_LEVEL + WINDOW_WIDTH / 2
    colour = vtkColorTransferFunction()
    colour.SetColorSpaceToRGB()
    colour.AddRGBPoint(low, *DARK_RED)
    colour.AddRGBPoint(WINDOW_LEVEL, *ORANGE)
    colour.AddRGBPoint(high, *IVORY)

    # Opacity per millimetre: 1 − exp(−extinction); the toolkit raises it to the power of
    # its sample distance in millimetres, as voxview's exp(−extinction × step).
    per_mm = DENSITY / longest_side_mm
    opacity = vtkPiecewiseFunction()
    opacity.AddPoint(0.0, 0.0)
    for index in range(OPACITY_POINTS + 1):
        intensity = index / OPACITY_POINTS
        opacity.AddPoint(low + intensity * WINDOW_WIDTH, 1.0 - math.exp(-per_mm * intensity * intensity))
    opacity.AddPoint(65535.0, 1.0 - math.exp(-per_mm))

    prop = vtkVolumeProperty()
    prop.SetColor(colour)
    prop.SetScalarOpacity(opacity)
    prop.SetScalarOpacityUnitDistance(1.0)
    prop.SetInterpolationTypeToLinear()
    prop.ShadeOn()
    prop.SetAmbient(AMBIENT)
    prop.SetDiffuse(DIFFUSE)
    prop.SetSpecular(0.0)
    return prop


def mapper_for(kind, sample_distance_mm):
    """The mapper with a stated sample distance and every automatic adjustment off: full
    image resolution, the same distance in every frame."""
    if kind == "gpu":
        mapper = vtkGPUVolumeRayCastMapper()
        # voxview shifts each ray's samples by a per-pixel offset within a step.
        mapper.UseJitteringOn()
    else:
        mapper = vtkFixedPointVolumeRayCastMapper()
        mapper.SetInteractiveSampleDistance(sample_distance_mm)
    mapper.SetAutoAdjustSampleDistances(0)
    mapper.SetLockSampleDistanceToInputSpacing(0)
    mapper.SetSampleDistance(sample_distance_mm)
    mapper.SetImageSampleDistance(1.0)
    mapper.SetMinimumImageSampleDistance(1.0)
    mapper.SetMaximumImageSampleDistance(1.0)
    return mapper


def save_png(window, path):
    """The last frame as it is, without drawing it again."""
    grab = vtkWindowToImageFilter()
    grab.SetInput(window)
    grab.ShouldRerenderOff()
    grab.ReadFrontBufferOff()
    grab.Update()
    writer = vtkPNGWriter()
    writer.SetFileName(path)
    writer.SetInputConnection(grab.GetOutputPort())
    writer.Write()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("raw")
    parser.add_argument("--mapper", choices=["gpu", "cpu"], default="gpu")
    parser.add_argument("--size", nargs=2, type=int, default=[512, 512])
    parser.add_argument("--frames", type=int, default=30)
    parser.add_argument("--dims", nargs=3, type=int, default=[512, 512, 463])
    parser.add_argument("--json")
    parser.add_argument("--png")
    args = parser.parse_args()

    voxels = args.dims
    extents = [n * s for n, s in zip(voxels, SPACING)]
    longest = max(extents)
    angles = list(orbit_angles(args.frames))
    # One stated distance for the whole orbit: voxview's step along the view direction,
    # averaged over the orbit's frames (it runs from the step along z to the one along x).
    steps = [voxel_step_mm((math.sin(a), 0.0, math.cos(a)), extents, voxels) for a in angles]
    sample_distance_mm = statistics.fmean(steps)

    # The render window and its OpenGL context come first, as voxview-bench makes its
    # view before it loads the volume.
    renderer = vtkRenderer()
    renderer.SetBackground(0.0, 0.0, 0.0)
    renderer.SetTwoSidedLighting(1)
    light = vtkLight()
    light.SetLightTypeToHeadlight()
    light.SetIntensity(1.0)
    renderer.AddLight(light)
    window = vtkRenderWindow()
    window.SetOffScreenRendering(1)
    window.SetSize(*args.size)
    window.AddRenderer(renderer)
    window.Initialize()

    # The first frame runs from here, as voxview-bench's from the start of loading the
    # volume, to its picture finished.
    load_start_ms = ms_since_process_start()
    mapper = mapper_for(args.mapper, sample_distance_mm)
    mapper.SetInputData(read_volume(args.raw, voxels))
    volume = vtkVolume()
    volume.SetMapper(mapper)
    volume.SetProperty(volume_property(longest))
    renderer.AddVolume(volume)

    # voxview's centre of the volume is its centre voxel's; the toolkit's lies there too.
    centre = [(n - 1) * s / 2 for n, s in zip(voxels, SPACING)]
    camera = renderer.GetActiveCamera()
    camera.SetViewAngle(math.degrees(VIEW_ANGLE))
    camera.SetFocalPoint(*centre)
    camera.SetViewUp(0.0, 1.0, 0.0)

    distance = CAMERA_DISTANCE * longest
    times = []
    cpu_times = []
    startup_ms = None
    for angle in angles:
        camera.SetPosition(centre[0] - distance * math.sin(angle), centre[1], centre[2] - distance * math.cos(angle))
        renderer.ResetCameraClippingRange()
        cpu_start = cpu_ms()
        start = time.monotonic()
        window.Render()
        window.WaitForCompletion()
        elapsed = (time.monotonic() - start) * 1000.0
        cpu_times.append(cpu_ms() - cpu_start)
        if startup_ms is None:
            startup_ms = ms_since_process_start()
        times.append(elapsed)

    if args.png:
        save_png(window, args.png)

    # The first frame is the warm-up: it pays for the upload and the shaders.
    steady = sorted(times[1:]) if len(times) > 1 else times
    result = {
        "renderer": "reference-" + args.mapper,
        "frames": len(times),
        "viewport": args.size,
        "sample_distance_mm": round(sample_distance_mm, 4),
        "first_frame_ms": round(startup_ms - load_start_ms, 1),
        "first_render_ms": round(times[0], 1),
        "median_ms": round(statistics.median(steady), 1),
        # nearest rank, as voxview-bench: the smallest time that 90 % of frames meet
        "p90_ms": round(steady[max(math.ceil(0.9 * len(steady)), 1) - 1], 1),
        "median_cpu_ms": round(statistics.median(cpu_times[1:] or cpu_times), 1),
        "startup_ms": round(startup_ms, 1),
        "peak_rss_mb": round(peak_rss_mb(), 1),
    }
    text = json.dumps(result)
    print(text)
    if args.json:
        with open(args.json, "w") as out:
            out.write(text + "\n")


if __name__ == "__main__":
    main()
