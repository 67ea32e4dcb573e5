// Writes a shader as it ships: its version line, then the constants of
// render/ShaderConstants.h as GLSL constants of the same names, then the rest of its source.
// The build runs it for every shader before embedding them, and the shaders tests validate
// what it writes.
//
//   voxview-shader-assembler SOURCE OUTPUT

#include "render/ShaderConstants.h"

#include <charconv>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

// The shortest text that reads back as the same float, written as a GLSL float literal.
std::string floatLiteral(float value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    std::string literal(text, end);
    if (literal.find_first_of(".e") == std::string::npos) {
        literal += ".0";
    }
    return literal;
}

std::string declaration(const char* name, float value) {
    return "const float " + std::string(name) + " = " + floatLiteral(value) + ";\n";
}

std::string declaration(const char* name, int value) {
    return "const int " + std::string(name) + " = " + std::to_string(value) + ";\n";
}

std::string declaration(const char* name, std::uint32_t value) {
    return "const uint " + std::string(name) + " = " + std::to_string(value) + "u;\n";
}

std::string constants() {
    using namespace shading;
    return "// Written by the build from render/ShaderConstants.h.\n" +
           declaration("kTexelScale", kTexelScale) + declaration("kColourMapEntries", kColourMapEntries) +
           declaration("kOpaque", kOpaque) + declaration("kDensity", kDensity) +
           declaration("kShadeThreshold", kShadeThreshold) + declaration("kCutDepth", kCutDepth) +
           declaration("kEdgeChange", kEdgeChange) + declaration("kEdgeParts", kEdgeParts) +
           declaration("kShadeFollow", kShadeFollow) + declaration("kSurfaceContrast", kSurfaceContrast) +
           declaration("kMaxGridCellSide", kMaxGridCellSide) + declaration("kMaxGridLevels", kMaxGridLevels) +
           declaration("kJitterMultiplier1", kJitterMultiplier1) +
           declaration("kJitterMultiplier2", kJitterMultiplier2) + declaration("kHashToUnit", kHashToUnit) +
           declaration("kTiny", kTiny) + declaration("kHuge", kHuge) +
           declaration("kModeComposite", kModeComposite) + declaration("kModeMip", kModeMip) +
           declaration("kModeMinip", kModeMinip) + declaration("kModeAverage", kModeAverage) +
           // Compiler messages count the source's own lines again from here.
           "#line 2\n";
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: voxview-shader-assembler SOURCE OUTPUT\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    std::string versionLine;
    if (!std::getline(in, versionLine) || versionLine.rfind("#version", 0) != 0) {
        std::cerr << argv[1] << ": the first line must be the #version line\n";
        return 1;
    }
    std::ostringstream rest;
    rest << in.rdbuf();
    std::ofstream out(argv[2], std::ios::trunc);
    out << versionLine << '\n' << constants() << rest.str();
    if (!out) {
        std::cerr << argv[2] << ": cannot be written\n";
        return 1;
    }
    return 0;
}
