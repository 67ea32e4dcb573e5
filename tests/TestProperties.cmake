# Read by ctest after every folder's tests have been discovered. It names only cases of
# the gpu tests, which every build that runs tests (dev, asan, tsan) builds: a name ctest
# does not know would end this file early.

# Draws hundreds of frames while a worker imports, slow under ThreadSanitizer.
set_tests_properties(RendererHandOver.WorkerImportsWhileFramesDrawAndEveryFrameShowsAWholeVolume
                     PROPERTIES TIMEOUT 300)
