// Opening a name under the root so that neither the name nor a symlink met
// on the way can lead out of it, even while links change underneath: the
// resolution and the open are one step, anchored at the root's descriptor.
// Checking a resolved path first and opening it afterwards would let a link
// swapped in between serve a file from anywhere.
#ifndef TAVIK_DEVICE_BENEATH_H
#define TAVIK_DEVICE_BENEATH_H

#include <string>

namespace device {

// Opens `path` (relative; "" is the root itself) under the directory
// `rootFd` with open(2) `flags`.  Symlinks are followed only as long as they
// stay beneath the root: a ".." above it or an absolute link target fails
// with EXDEV.  Returns the descriptor, or -1 with errno set.  Uses
// openat2(RESOLVE_BENEATH), or openBeneathStepwise() where the kernel
// lacks it.
int openBeneath(int rootFd, const std::string &path, int flags);

// The same by walking the path one component at a time, each opened with
// O_NOFOLLOW from the directory before it and symlinks expanded by hand.
// Public so that its tests need no old kernel.
int openBeneathStepwise(int rootFd, const std::string &path, int flags);

}  // namespace device

#endif
