/*
 * A set of nodes of the cluster, node n being bit n: every mask of nodes
 * the driver keeps (online, expedition, integrated, failed) is one. The
 * record layouts keep their own types (cluster_t, the 8-bit maps of the
 * management records) and convert at the record with bits() and the
 * explicit constructor.
 */
#ifndef UPDATE_NODE_MASK_H
#define UPDATE_NODE_MASK_H

#include <bit>
#include <stdint.h>

#include "osk_types.h"

class node_mask
{
  public:
    constexpr node_mask() = default;
    constexpr explicit node_mask(uint32_t bits) : bits_(bits) {}
    /* Every node there may be: what a mask no option narrowed means. */
    static constexpr node_mask all()
    {
        return node_mask(~0u);
    }
    static constexpr node_mask of(int n)
    {
        return node_mask(1u << n);
    }

    constexpr bool has(int n) const
    {
        return n >= 0 && n < 32 && ((bits_ >> n) & 1u);
    }
    constexpr void add(int n)
    {
        bits_ |= 1u << n;
    }
    constexpr int count() const
    {
        return std::popcount(bits_);
    }
    /* The lowest node of the set, -1 when it is empty. */
    constexpr int first() const
    {
        return bits_ ? std::countr_zero(bits_) : -1;
    }
    constexpr bool empty() const
    {
        return bits_ == 0;
    }
    constexpr uint32_t bits() const
    {
        return bits_;
    }
    /* fn(n) for every node n of the set, lowest first. */
    template <typename F> void each(F fn) const
    {
        for (int n = 0; n < OSK_MAX_NODES; n++)
            if (has(n))
                fn(n);
    }

    constexpr node_mask operator~() const
    {
        return node_mask(~bits_);
    }
    constexpr node_mask operator&(node_mask o) const
    {
        return node_mask(bits_ & o.bits_);
    }
    constexpr bool operator==(const node_mask &) const = default;

  private:
    uint32_t bits_ = 0;
};

#endif
