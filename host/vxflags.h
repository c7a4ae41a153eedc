#ifndef VX_FLAGS_H
#define VX_FLAGS_H

#include <cstdint>

// A 32-bit flag word typed by the enumeration whose bits it holds, so a
// payload's dispatch flags cannot be mixed up with another flag set.
template <typename E>
class vxFlags
{
public:
    constexpr vxFlags() noexcept = default;
    constexpr vxFlags(E flag) noexcept : bits(static_cast<uint32_t>(flag)) { }
    constexpr explicit vxFlags(uint32_t value) noexcept : bits(value) { }

    constexpr bool IsSet(E flag) const noexcept
    {
        return (bits & static_cast<uint32_t>(flag)) != 0;
    }
    constexpr bool operator&(E flag) const noexcept { return IsSet(flag); }

    constexpr vxFlags &Set(E flag) noexcept
    {
        bits |= static_cast<uint32_t>(flag);
        return *this;
    }
    constexpr vxFlags &Clear(E flag) noexcept
    {
        bits &= ~static_cast<uint32_t>(flag);
        return *this;
    }
    constexpr vxFlags &operator|=(E flag) noexcept { return Set(flag); }
    constexpr vxFlags operator|(E flag) const noexcept
    {
        vxFlags result(*this);
        return result.Set(flag);
    }

    constexpr uint32_t Bits() const noexcept { return bits; }
    constexpr bool operator==(const vxFlags &) const noexcept = default;

private:
    uint32_t bits = 0;
};

#endif
