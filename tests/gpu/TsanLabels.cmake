# Read by ctest after the gpu tests have been discovered: the import hand-over stress
# test also carries the label tsan, so the ThreadSanitizer build can run it alone.
set_tests_properties(RendererHandOver.WorkerImportsWhileFramesDrawAndEveryFrameShowsAWholeVolume
                     PROPERTIES LABELS "gpu;tsan")
