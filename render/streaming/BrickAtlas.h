#pragma once

#include "render/gpu/Gpu.h"
#include "render/streaming/BrickLayout.h"

#include <QString>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

// The 3-D texture whose slots hold the resident bricks, each slotSide³ texels, slot 0 of
// zero texels. It starts with the layers of slots the base level needs and grows by whole
// layers, copying the slots it has on the GPU, up to the largest atlas the GPU budget and
// the GPU's largest 3-D texture allow. When the GPU cannot make a larger texture it stays
// as it is, says so once, and asks no more: bricks then take turns in the slots there are.
class BrickAtlas {
  public:
    // Why no atlas of this layout fits the budget and the GPU, if none does: it must hold
    // the zero slot, the base level and at least one finer brick.
    static std::optional<QString> refusal(const BrickLayout& layout, std::uint64_t gpuBytes,
                                          std::size_t maxTexture3DSize);
    static std::variant<std::unique_ptr<BrickAtlas>, QString>
    create(gpu::Device& device, const BrickLayout& layout, std::uint64_t gpuBytes);

    gpu::Texture* texture() const { return m_texture.get(); }
    // Slots the texture has now, and the most it may grow to.
    std::uint64_t slotCount() const;
    std::uint64_t largestSlotCount() const { return m_largest; }
    // Grows the texture towards `wanted` slots, by half again at least; false when it
    // cannot grow (then it never tries again).
    bool grow(std::uint64_t wanted);
    bool upload(std::uint32_t slot, const std::uint16_t* texels);
    // The slot's place in the atlas, in slots along each side.
    std::array<std::uint64_t, 3> position(std::uint32_t slot) const;

  private:
    struct Shape {
        std::array<std::uint64_t, 3> perAxis{}; // slots along each side of the largest atlas
        std::uint64_t capacity = 0;             // slots it holds within the budget
    };
    static std::variant<Shape, QString> shape(const BrickLayout& layout, std::uint64_t gpuBytes,
                                              std::size_t maxTexture3DSize);

    BrickAtlas(gpu::Device& device, std::uint64_t slotSide, const Shape& shape);
    // Makes the texture `layers` layers of slots deep, keeping the slots it has.
    bool resize(std::uint64_t layers, std::string* error);

    std::shared_ptr<gpu::Device> m_device;
    std::uint64_t m_slotSide;
    std::array<std::uint64_t, 3> m_perAxis;
    std::uint64_t m_largest;
    std::shared_ptr<gpu::Texture> m_texture;
};
