#pragma once

// Call before the QApplication exists (in main, the test runner and the bench): makes
// every OpenGL context, the view's included, an OpenGL 4.1 core one and puts them all in
// Qt's global share group, so the device's textures and programs are visible to the view.
// Includes no OpenGL header, so ui/ may call it.
namespace gl {

void setDefaultSurfaceFormat();

} // namespace gl
