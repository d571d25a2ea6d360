// The user's home folder, found the same way by every part that derives a
// default location from it.
#pragma once

#include <string>

namespace file {

// $HOME when it is an absolute path, else the effective user's home from the
// user database (services start without HOME). Empty when neither gives an
// absolute path: a shared folder such as /tmp is never the answer.
std::string HomeDirectory();

}  // namespace file
