#pragma once
// What a Windows reparse point is, told by its tag alone (the same judgement on every platform,
// so that it can be tested anywhere). Only name surrogates lead elsewhere: symbolic links,
// junctions and volume mount points; the others (deduplicated, cloud or compressed files) are
// the entry itself.

#include <cstdint>

namespace KelvraCorelib::Platform {

enum class ReparseKind {
    none,        // no reparse point
    data,        // a reparse point that is not a name surrogate: the entry itself
    link,        // a symbolic link or another name surrogate
    mountPoint,  // a junction or a volume mount point (both carry the mount-point tag)
    untold,      // a reparse point without a tag (wine shows POSIX links and mount points so)
};

constexpr uint32_t reparseTagSymbolicLink = 0xA000000CU;
constexpr uint32_t reparseTagMountPoint = 0xA0000003U;
constexpr uint32_t reparseTagNameSurrogate = 0x20000000U;

constexpr ReparseKind reparseKindOf(bool isReparsePoint, uint32_t tag)
{
    if (!isReparsePoint)
        return ReparseKind::none;
    if (tag == 0)
        return ReparseKind::untold;
    if ((tag & reparseTagNameSurrogate) == 0)
        return ReparseKind::data;
    return tag == reparseTagMountPoint ? ReparseKind::mountPoint : ReparseKind::link;
}

}  // namespace KelvraCorelib::Platform
