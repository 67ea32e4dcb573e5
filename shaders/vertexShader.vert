#version 410 core

// Vertex stage of the volume rendering: places the proxy cube and hands the fragment
// stage everything it needs to march a ray through the volume in texture space.
//
// GLSL 4.1 cannot state bindings in the source: the backend binds each uniform block by
// its name to the index render/ShaderTypes.h gives it (kUniformBlockBindings).

struct CubeVertex {
    vec4 position; // (x, y, z, 0), each coordinate -0.5 or +0.5
    vec4 texCoord; // position + 0.5: the volume's texture coordinates
};

// Index 0: the 36 vertices of the proxy cube, fetched by gl_VertexID.
layout(std140) uniform CubeVertices {
    CubeVertex vertices[36];
};

// Index 1: the frame's uniforms.
layout(std140) uniform Uniforms {
    mat4 modelMatrix;
    mat4 viewMatrix;
    mat4 projectionMatrix;
    vec4 cameraPosition; // world space, w = 1
    vec4 intercept;      // upper clip values in texture coordinates
    vec4 interceptBtm;   // lower clip values
    // Byte 0 the lookup mode (its colours come as the colour map's texture), byte 1 the
    // rendering mode, byte 2 the samples per voxel step, byte 3 1 where the colour map's
    // alpha gives the opacity.
    uint clutmodeWord;
    int sampleOffset;    // texel + sampleOffset = sample value (signed volumes are stored +32768)
    float ambient;       // the share of light a surface facing away shows; 1 unlit
} uniforms;

// Index 2: the display window in raw sample units.
layout(std140) uniform WindowPair {
    int wl;
    int ww;
} window;

out vec3 vTexPoint;               // this point of the cube's surface, in texture coordinates
flat out vec3 vCameraTex;         // the camera, in texture coordinates
flat out vec3 vModelScale;        // world length of one unit of texture coordinates, per axis
flat out vec3 vClipLow;
flat out vec3 vClipHigh;
flat out vec2 vWindow;            // lower edge and width of the window, raw units
flat out float vSampleOffset;
flat out int vRenderMode;
flat out int vSamplesPerStep;
flat out float vAmbient;
flat out float vOpacityFromMap;

void main() {
    CubeVertex vertex = vertices[gl_VertexID];
    vec4 world = uniforms.modelMatrix * vec4(vertex.position.xyz, 1.0);
    gl_Position = uniforms.projectionMatrix * uniforms.viewMatrix * world;

    // Texture space is the model space of the cube shifted by half a unit, so the camera's
    // place in it follows from the inverse of the model matrix. Straight lines stay
    // straight, so a ray marched there visits the same samples as one in the world.
    vTexPoint = vertex.texCoord.xyz;
    vCameraTex = (inverse(uniforms.modelMatrix) * uniforms.cameraPosition).xyz + vec3(0.5);
    vModelScale = vec3(length(uniforms.modelMatrix[0].xyz), length(uniforms.modelMatrix[1].xyz),
                       length(uniforms.modelMatrix[2].xyz));

    vClipLow = uniforms.interceptBtm.xyz;
    vClipHigh = uniforms.intercept.xyz;

    // The frame lets the width reach zero or go negative; below one raw unit the window
    // acts as a threshold at the level instead of dividing by zero.
    float width = max(float(window.ww), 1.0);
    vWindow = vec2(float(window.wl) - 0.5 * width, width);
    vSampleOffset = float(uniforms.sampleOffset);
    vRenderMode = int((uniforms.clutmodeWord >> 8) & 0xFFu);
    vSamplesPerStep = max(int((uniforms.clutmodeWord >> 16) & 0xFFu), 1);
    vAmbient = clamp(uniforms.ambient, 0.0, 1.0);
    vOpacityFromMap = float((uniforms.clutmodeWord >> 24) & 0xFFu);
}
