// Static files are opened beneath the document root's directory descriptor,
// never by a path resolved first and opened later: a directory swapped for a
// symbolic link between the two cannot lead outside the root.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace server {

// The open directory of one configuration snapshot's document root, opened on
// first use and kept for the snapshot's life, so a request resolves nothing
// above the root. A copy starts closed (it may be given another root), and
// all roots compare equal, so snapshots compare by their settings only.
class DocumentRoot {
 public:
  DocumentRoot() = default;
  DocumentRoot(const DocumentRoot&) noexcept {}
  DocumentRoot& operator=(const DocumentRoot&) noexcept;
  ~DocumentRoot();
  bool operator==(const DocumentRoot&) const { return true; }

  // The directory descriptor of `path`, or -1 with errno set. A root that
  // cannot be opened is tried again at the next call.
  int Descriptor(const std::string& path) const;

 private:
  mutable std::atomic<int> fd_{-1};
};

enum class BeneathMode {
  Best,  // openat2 where the kernel has it, else the walk
  Walk,  // one component at a time with O_NOFOLLOW
};

// Opens `relative` (components separated by "/") beneath `rootFd` read-only,
// non-blocking and close-on-exec. A name that is absolute or holds "..",
// or whose resolution would leave the root, fails. openat2 follows links
// that stay beneath the root; the walk follows none. -1 with errno set on
// failure.
int OpenBeneath(int rootFd, std::string_view relative, BeneathMode mode = BeneathMode::Best);

}  // namespace server
