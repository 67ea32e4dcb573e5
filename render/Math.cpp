#include "render/Math.h"

#include <cmath>

float dot(float3 a, float3 b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

float3 cross(float3 a, float3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

float3 normalize(float3 v) {
    const float inverseLength = 1.0f / std::sqrt(dot(v, v));
    return {v.x * inverseLength, v.y * inverseLength, v.z * inverseLength};
}

float3 operator-(float3 a, float3 b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

float4 operator*(const float4x4& m, float4 v) {
    const float4* c = m.columns;
    return {v.x * c[0].x + v.y * c[1].x + v.z * c[2].x + v.w * c[3].x,
            v.x * c[0].y + v.y * c[1].y + v.z * c[2].y + v.w * c[3].y,
            v.x * c[0].z + v.y * c[1].z + v.z * c[2].z + v.w * c[3].z,
            v.x * c[0].w + v.y * c[1].w + v.z * c[2].w + v.w * c[3].w};
}

float4x4 operator*(const float4x4& a, const float4x4& b) {
    return {{a * b.columns[0], a * b.columns[1], a * b.columns[2], a * b.columns[3]}};
}

float4x4 rotationMatrix(float angle, float3 axis) {
    const float3 n = normalize(axis);
    const float x = n.x, y = n.y, z = n.z;
    const float s = std::sin(angle);
    const float c = std::cos(angle);
    const float k = 1.0f - c;
    return {{{k * x * x + c, k * x * y + s * z, k * x * z - s * y, 0.0f},
             {k * x * y - s * z, k * y * y + c, k * y * z + s * x, 0.0f},
             {k * x * z + s * y, k * y * z - s * x, k * z * z + c, 0.0f},
             {0.0f, 0.0f, 0.0f, 1.0f}}};
}

float4x4 scaleMatrix(float3 s) {
    return {{{s.x, 0.0f, 0.0f, 0.0f},
             {0.0f, s.y, 0.0f, 0.0f},
             {0.0f, 0.0f, s.z, 0.0f},
             {0.0f, 0.0f, 0.0f, 1.0f}}};
}

float4x4 lookAtMatrix(float3 eye, float3 target, float3 up) {
    const float3 f = normalize(target - eye);
    const float3 r = normalize(cross(f, up));
    const float3 v = cross(r, f);
    return {{{r.x, v.x, f.x, 0.0f},
             {r.y, v.y, f.y, 0.0f},
             {r.z, v.z, f.z, 0.0f},
             {-dot(r, eye), -dot(v, eye), -dot(f, eye), 1.0f}}};
}

float4x4 perspectiveMatrix(float fovy, float aspect, float nearZ, float farZ) {
    const float ys = 1.0f / std::tan(fovy * 0.5f);
    const float xs = ys / aspect;
    const float zs = farZ / (farZ - nearZ);
    return {{{xs, 0.0f, 0.0f, 0.0f},
             {0.0f, ys, 0.0f, 0.0f},
             {0.0f, 0.0f, zs, 1.0f},
             {0.0f, 0.0f, -nearZ * zs, 0.0f}}};
}
