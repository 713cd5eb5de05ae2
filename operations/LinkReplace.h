#pragma once

#include "operations/CheckedFile.h"
#include "platform/OverlayMounts.h"
#include "search/TFiles.h"

#include <functional>
#include <optional>
#include <string>

class RunControl;

// What takes the place of a duplicate: another name of the kept file (a hard link), or a file of
// its own whose blocks are the kept file's (a reflink, on file systems that share blocks).
enum class LinkKind { Hard, Reflink };

// The system calls of a replacement that a test may make fail: the kernel's deduplication
// request, the making of the new link (link or clone), the swap of the two names, and the removal
// of the replaced file.
enum class ReplaceStep { Dedupe, MakeLink, Exchange, RemoveOld };
// Tests only: an errno makes that step fail with it, 0 lets it run.
using FailureSeam = std::function<int(ReplaceStep step)>;

struct ReplaceHooks {
    RemovalSeam seam;
    FailureSeam failAt;
    std::function<void(int percent)> bar; // a deduplication under way, in percent
    RunControl* control = nullptr;        // its pause gate, between chunks
};

// Replaces `file` (the file of `target`) by a link of `keeper`, on the terms of a removal: `file`
// is unchanged since the search, not the keeper by another path, and holds its bytes.
//
// A reflink is first asked of the kernel's deduplication request, which shares the blocks in
// place after comparing the bytes itself: the file keeps its inode, owner, mode and times. Where
// the file system has no such request the kept file is cloned. A hard link or a clone is made
// under a private name in the file's folder and swapped with the file in one step, so the path
// never stands empty; the replaced file is removed only once it is confirmed to be the file
// checked. A clone takes the file's owner, mode, extended attributes and times; a hard link is
// the kept file, with its own. Nothing is ever copied.
//
// At any doubt or failure the file stays as it was, under its name, no private name is left, and
// the reason is returned.
std::optional<std::string> replaceWithLink(CheckedFile& file, const TFiles& target,
                                           const TFiles& keeper, LinkKind kind,
                                           const OverlayMounts& overlays,
                                           const ReplaceHooks& hooks = {});
