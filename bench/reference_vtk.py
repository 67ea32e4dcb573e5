#!/usr/bin/python3
"""Reference timings for bench/README.md: the same raw volume, window and camera orbit
rendered by a widely used visualization toolkit's GPU ray-cast mapper and its CPU
(fixed-point, space-leaping) mapper, offscreen under the same X server.

usage: reference_vtk.py RAW_FILE --mapper gpu|cpu [--size W H] [--frames N] [--json FILE]
The volume is 512 x 512 x 463 unsigned 16-bit little-endian, spacing 0.625 x 0.625 x 1.0.
"""
import argparse
import json
import math
import os
import resource
import statistics
import time

PROCESS_START = time.monotonic()

import vtk  # noqa: E402  (imported after the start time so start-up includes it)

WINDOW_LEVEL = 738.0
WINDOW_WIDTH = 1384.0


def ms_since_process_start():
    """Milliseconds since the kernel started this process, interpreter start-up included,
    measured the way voxview-bench measures itself (10 ms resolution); the time since this
    script began when the kernel's record cannot be read."""
    try:
        with open("/proc/self/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        start_ticks = int(fields[22 - 3])
        now = time.clock_gettime(time.CLOCK_BOOTTIME)
        return (now - start_ticks / os.sysconf("SC_CLK_TCK")) * 1000.0
    except (OSError, IndexError, ValueError):
        return (time.monotonic() - PROCESS_START) * 1000.0


def cpu_ms():
    """Processor time of all threads so far, as voxview-bench's median_cpu_ms counts it."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return (usage.ru_utime + usage.ru_stime) * 1000.0


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("raw")
    parser.add_argument("--mapper", choices=["gpu", "cpu"], default="gpu")
    parser.add_argument("--size", nargs=2, type=int, default=[512, 512])
    parser.add_argument("--frames", type=int, default=30)
    parser.add_argument("--dims", nargs=3, type=int, default=[512, 512, 463])
    parser.add_argument("--json")
    args = parser.parse_args()

    reader = vtk.vtkImageReader2()
    reader.SetFileName(args.raw)
    reader.SetFileDimensionality(3)
    reader.SetDataScalarTypeToUnsignedShort()
    reader.SetDataByteOrderToLittleEndian()
    reader.SetNumberOfScalarComponents(1)
    w, h, d = args.dims
    reader.SetDataExtent(0, w - 1, 0, h - 1, 0, d - 1)
    reader.SetDataSpacing(0.625, 0.625, 1.0)
    reader.Update()

    low = WINDOW_LEVEL - WINDOW_WIDTH / 2
    high = WINDOW_LEVEL + WINDOW_WIDTH / 2
    colour = vtk.vtkColorTransferFunction()
    colour.AddRGBPoint(low, 0.25, 0.02, 0.0)
    colour.AddRGBPoint(WINDOW_LEVEL, 0.95, 0.5, 0.15)
    colour.AddRGBPoint(high, 1.0, 0.97, 0.88)
    opacity = vtk.vtkPiecewiseFunction()
    opacity.AddPoint(0, 0.0)
    opacity.AddPoint(low, 0.0)
    opacity.AddPoint(high, 1.0)
    opacity.AddPoint(65535, 1.0)

    prop = vtk.vtkVolumeProperty()
    prop.SetColor(colour)
    prop.SetScalarOpacity(opacity)
    prop.SetInterpolationTypeToLinear()

    # Both mappers as they come: their default sample distances, full image resolution
    # for still renders.
    if args.mapper == "gpu":
        mapper = vtk.vtkGPUVolumeRayCastMapper()
    else:
        mapper = vtk.vtkFixedPointVolumeRayCastMapper()
    mapper.SetInputConnection(reader.GetOutputPort())

    volume = vtk.vtkVolume()
    volume.SetMapper(mapper)
    volume.SetProperty(prop)

    renderer = vtk.vtkRenderer()
    renderer.AddVolume(volume)
    renderer.SetBackground(0.0, 0.0, 0.0)
    window = vtk.vtkRenderWindow()
    window.SetOffScreenRendering(1)
    window.SetSize(*args.size)
    window.AddRenderer(renderer)
    renderer.ResetCamera()

    times = []
    cpu_times = []
    startup_ms = None
    for frame in range(args.frames):
        cpu_start = cpu_ms()
        start = time.monotonic()
        window.Render()
        window.WaitForCompletion()
        elapsed = (time.monotonic() - start) * 1000.0
        cpu_times.append(cpu_ms() - cpu_start)
        if startup_ms is None:
            startup_ms = ms_since_process_start()
        times.append(elapsed)
        renderer.GetActiveCamera().Azimuth(2.0)

    steady = sorted(times[1:]) if len(times) > 1 else times
    result = {
        "renderer": "reference-" + args.mapper,
        "frames": len(times),
        "viewport": args.size,
        "first_frame_ms": round(times[0], 1),
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
