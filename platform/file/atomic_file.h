// Files the system rewrites (configuration, registry, service units) are
// replaced whole: written to a temporary file beside the old one, flushed and
// renamed over it, so a reader or a crash sees either the old file or the new
// one, never a part.
#pragma once

#include <string>
#include <string_view>

namespace file {

// Mode argument of ReplaceFile: keep the permissions of the file replaced
// (0644 when there is none).
inline constexpr int kKeepMode = -1;

// Creates `dir` and each missing parent (mode 0755). True when `dir` is a
// directory afterwards.
bool MakeDirectories(const std::string& dir);

// Replaces `path` with `bytes`, then flushes the directory so the rename
// itself survives a crash. Returns 0, or the errno of the step that failed;
// then the old file is untouched and no temporary file is left.
int ReplaceFile(const std::string& path, std::string_view bytes, int mode = kKeepMode);

// The file a chain of symbolic links at `path` ends in (which need not exist),
// so that replacing it keeps the links; `path` itself when it is no link. A
// relative link is taken from the folder of the link. Empty for a loop.
std::string FollowLinks(const std::string& path);

}  // namespace file
