#pragma once

// Single-precision vectors and 4 x 4 matrices for the camera and the model.
// Matrices are column-major (`columns[0]` first) and act on column vectors from
// the left: M * v = v.x * columns[0] + v.y * columns[1] + v.z * columns[2] + v.w * columns[3].
// Angles are radians; the world is right-handed, the view space of lookAtMatrix is
// left-handed (x right, y up, z along the viewing direction).

struct float3 {
    float x = 0.0f, y = 0.0f, z = 0.0f;
};

struct float4 {
    float x = 0.0f, y = 0.0f, z = 0.0f, w = 0.0f;
    bool operator==(const float4&) const = default;
};

struct float4x4 {
    float4 columns[4];
    bool operator==(const float4x4&) const = default;
};

static_assert(sizeof(float3) == 12);
static_assert(sizeof(float4) == 16);
static_assert(sizeof(float4x4) == 64);

inline constexpr float4x4 matrix_identity_float4x4{
    {{1.0f, 0.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 1.0f, 0.0f}, {0.0f, 0.0f, 0.0f, 1.0f}}};

float dot(float3 a, float3 b);
float3 cross(float3 a, float3 b);
float3 normalize(float3 v);
float3 operator-(float3 a, float3 b);

float4 operator*(const float4x4& m, float4 v);
float4x4 operator*(const float4x4& a, const float4x4& b);

float4x4 rotationMatrix(float angle, float3 axis);
float4x4 scaleMatrix(float3 s);
float4x4 lookAtMatrix(float3 eye, float3 target, float3 up);
float4x4 perspectiveMatrix(float fovy, float aspect, float nearZ, float farZ);
